// The S-dagger gate, diag(1, -i); only the |1> amplitude is touched.
#include "fixed_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct SdagGate : FixedGate {
    static constexpr bool kHighOnly = true;
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>&, CuComplex<T>& a1, NoArgs) {
        a1 = a1 * CuComplex<T>{T(0), T(-1)};
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>&, CuComplex<T>& a1, NoArgs) {
        a1 = CuComplex<T>{a1.im, -a1.re};
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(sdag, SdagGate)
KETSIM_FIXED_GATE_LAUNCHER(sdag)

}  // namespace ketsim
