// The Z gate: negates the |1> amplitude; the |0> amplitude is never read or written.
#include "fixed_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct ZGate : UniformFixedGate<ZGate> {
    static constexpr bool kHighOnly = true;
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>&, CuComplex<T>& a1, NoArgs) {
        a1 = CuComplex<T>{-a1.re, -a1.im};
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(z, ZGate)
KETSIM_FIXED_GATE_LAUNCHER(z)

}  // namespace ketsim
