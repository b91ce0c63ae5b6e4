// The RZ rotation, diag(e^(-i theta/2), e^(i theta/2)).
#include "angle_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct RzGate : RotationGate<RzGate> {
    // A = e^(-i theta/2), whose sine is taken of -theta/2 itself; B = e^(i theta/2).
    template <class T>
    static VELLORAN_HD EntryPair<T> entries(T theta) {
        const SinCos<T> h = half_angle(theta);
        const T s_minus = device_sin(-theta * T(0.5));
        return {{h.c, s_minus}, {h.c, h.s}};
    }
    template <class T>
    static VELLORAN_HD GateMatrix2x2<T> matrix(T theta) {
        const EntryPair<T> e = entries(theta);
        const CuComplex<T> zero{T(0), T(0)};
        return {e.a, zero, zero, e.b};
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, const EntryPair<T>& e) {
        a0 = e.a * a0;
        a1 = e.b * a1;
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(rz, RzGate)
KETSIM_ANGLE_GATE_LAUNCHER(rz)

}  // namespace ketsim
