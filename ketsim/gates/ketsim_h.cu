// The Hadamard gate, (1/sqrt 2) [[1, 1], [1, -1]].
#include "fixed_gate.h"
#include "gate_launchers.h"

namespace ketsim {

namespace {

template <class T>
VELLORAN_HD T inv_sqrt2();
template <>
VELLORAN_HD float inv_sqrt2<float>() {
    return 0.70710677f;
}
template <>
VELLORAN_HD double inv_sqrt2<double>() {
    return 0.7071067811865476;
}

}  // namespace

struct HGate : FixedGate {
    // A full complex product with (h + 0i) in the all-state and pair kernels.
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs) {
        const CuComplex<T> h{inv_sqrt2<T>(), T(0)};
        const CuComplex<T> sum = a0 + a1;
        const CuComplex<T> diff = a0 - a1;
        a0 = sum * h;
        a1 = diff * h;
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs) {
        const T h = inv_sqrt2<T>();
        const CuComplex<T> sum = a0 + a1;
        const CuComplex<T> diff = a0 - a1;
        a0 = scale(sum, h);
        a1 = scale(diff, h);
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(h, HGate)
KETSIM_FIXED_GATE_LAUNCHER(h)

}  // namespace ketsim
