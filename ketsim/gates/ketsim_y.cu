// The Y gate, [[0, -i], [i, 0]].
#include "fixed_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct YGate : FixedGate {
    // Full complex products with -i and i, so a NaN in one component reaches the other.
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs) {
        const CuComplex<T> minus_i{T(0), T(-1)};
        const CuComplex<T> plus_i{T(0), T(1)};
        const CuComplex<T> b0 = a1 * minus_i;
        a1 = a0 * plus_i;
        a0 = b0;
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs) {
        const CuComplex<T> b0{a1.im, -a1.re};
        a1 = CuComplex<T>{-a0.im, a0.re};
        a0 = b0;
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(y, YGate)
KETSIM_FIXED_GATE_LAUNCHER(y)

}  // namespace ketsim
