// The RY rotation, [[cos(theta/2), -sin(theta/2)], [sin(theta/2), cos(theta/2)]].
#include "angle_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct RyGate : RotationGate<RyGate> {
    // A = (c, 0), B = (s, 0).
    template <class T>
    static VELLORAN_HD EntryPair<T> entries(T theta) {
        const SinCos<T> h = half_angle(theta);
        return {{h.c, T(0)}, {h.s, T(0)}};
    }
    template <class T>
    static VELLORAN_HD GateMatrix2x2<T> matrix(T theta) {
        const EntryPair<T> e = entries(theta);
        return {e.a, {-e.b.re, T(0)}, e.b, e.a};
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, const EntryPair<T>& e) {
        const CuComplex<T> b0 = e.a * a0 - e.b * a1;
        a1 = e.b * a0 + e.a * a1;
        a0 = b0;
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(ry, RyGate)
KETSIM_ANGLE_GATE_LAUNCHER(ry)

}  // namespace ketsim
