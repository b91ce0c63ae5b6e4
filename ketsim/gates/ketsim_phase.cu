// The phase gate, diag(1, e^(i theta)); only the |1> amplitude is read and written, so |0>
// amplitudes stay bit-identical.
#include "angle_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct PhaseGate : AngleGate<PhaseGate> {
    template <class T>
    using Auto = CuComplex<T>;
    static constexpr bool kHighOnly = true;
    // P = e^(i theta).
    template <class T>
    static VELLORAN_HD CuComplex<T> entries(T theta) {
        const SinCos<T> p = sin_cos(theta);
        return {p.c, p.s};
    }
    template <class T>
    static VELLORAN_HD CuComplex<T> prepare(Angle<T> g) {
        return entries(g.theta);
    }
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>&, CuComplex<T>& a1, const CuComplex<T>& p) {
        a1 = p * a1;
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, const CuComplex<T>& p) {
        apply_generic(a0, a1, p);
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(phase, PhaseGate)
KETSIM_ANGLE_GATE_LAUNCHER(phase)

}  // namespace ketsim
