// The general single-qubit gate U(theta, phi, lambda) =
// [[c, -e^(i lambda) s], [e^(i phi) s, e^(i (phi + lambda)) c]] with c, s = cos, sin of theta/2.
#include "angle_gate.h"
#include "gate_launchers.h"

namespace ketsim {

template <typename T>
struct UAngles {
    T theta, phi, lambda;
};

struct UGate : AngleGate<UGate> {
    template <class T>
    using Generic = UAngles<T>;
    template <class T>
    using Auto = GateMatrix2x2<T>;
    // e^(i (phi + lambda)) is the product of e^(i phi) and e^(i lambda), never the sine of a sum.
    template <class T>
    static VELLORAN_HD GateMatrix2x2<T> prepare(UAngles<T> g) {
        const SinCos<T> l = sin_cos(g.lambda);
        const SinCos<T> p = sin_cos(g.phi);
        const SinCos<T> h = sin_cos(g.theta * T(0.5));
        const CuComplex<T> phase_sum = CuComplex<T>{p.c, p.s} * CuComplex<T>{l.c, l.s};
        return {{h.c, T(0)}, {-h.s * l.c, -h.s * l.s}, {h.s * p.c, h.s * p.s}, scale(phase_sum, h.c)};
    }
    template <class T>
    static GateMatrix2x2<T> make_auto(UAngles<T> g) {
        return prepare(g);
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, const GateMatrix2x2<T>& m) {
        apply_matrix(a0, a1, m);
    }
};

KETSIM_SINGLE_QUBIT_KERNELS(u, UGate)

template <typename T>
void cu_u(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T theta, T phi, T lambda, KernelMode mode) {
    launch_angle_gate<u_kernels, T>(n, state, target, controls, control_state, stream, mode,
                                    "cu_u kernel launch failed: ", UAngles<T>{theta, phi, lambda});
}

template void cu_u<float>(uint64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&,
                          const std::vector<int64_t>&, cudaStream_t, float, float, float, KernelMode);
template void cu_u<double>(uint64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&,
                           const std::vector<int64_t>&, cudaStream_t, double, double, double, KernelMode);

}  // namespace ketsim
