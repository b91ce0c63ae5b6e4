// The square root of Y, (1/2) [[1+i, -1-i], [1+i, 1+i]].
#include "fixed_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct SqrtyGate : UniformFixedGate<SqrtyGate> {
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs) {
        const CuComplex<T> h0 = scale(a0, T(0.5));
        const CuComplex<T> h1 = scale(a1, T(0.5));
        a0 = times_one_plus_i(h0 - h1);
        a1 = times_one_plus_i(h0 + h1);
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(sqrty, SqrtyGate)
KETSIM_FIXED_GATE_LAUNCHER(sqrty)

}  // namespace ketsim
