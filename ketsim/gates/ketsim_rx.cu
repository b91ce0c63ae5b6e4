// The RX rotation, [[cos(theta/2), -i sin(theta/2)], [-i sin(theta/2), cos(theta/2)]].
#include "angle_gate.h"
#include "gate_launchers.h"

namespace ketsim {

struct RxGate : RotationGate<RxGate> {
    // A = (c, 0) on the diagonal, B = (0, -s) off it.
    template <class T>
    static VELLORAN_HD EntryPair<T> entries(T theta) {
        const SinCos<T> h = half_angle(theta);
        return {{h.c, T(0)}, {T(0), -h.s}};
    }
    template <class T>
    static VELLORAN_HD GateMatrix2x2<T> matrix(T theta) {
        const EntryPair<T> e = entries(theta);
        return {e.a, e.b, e.b, e.a};
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, const EntryPair<T>& e) {
        const CuComplex<T> b0 = e.a * a0 + e.b * a1;
        a1 = e.b * a0 + e.a * a1;
        a0 = b0;
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(rx, RxGate)
KETSIM_ANGLE_GATE_LAUNCHER(rx)

}  // namespace ketsim
