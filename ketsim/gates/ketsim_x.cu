// The X gate: exchanges the two amplitudes of every matching pair; no arithmetic.
#include "fixed_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct XGate : UniformFixedGate<XGate> {
    static constexpr bool kScanControlled = true;
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs) {
        const CuComplex<T> t = a0;
        a0 = a1;
        a1 = t;
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(x, XGate)
KETSIM_FIXED_GATE_LAUNCHER(x)

}  // namespace ketsim
