// What the single-qubit gates with angles (RX, RY, RZ, PHASE, U) have in common: the raw angles
// go to the all-state and pair kernels, which take sines and cosines per thread; the AutoPair
// kernels get entries prepared on the host.
#pragma once

#include "../../common/device_math.h"
#include "single_qubit_gate.h"

namespace ketsim {

// A row-major 2x2 complex matrix passed to kernels by value.
template <typename T>
struct GateMatrix2x2 {
    CuComplex<T> m00, m01, m10, m11;
};

template <typename T>
struct Angle {
    T theta;
};

// The two entries A and B of a rotation's AutoPair kernels.
template <typename T>
struct EntryPair {
    CuComplex<T> a, b;
};

template <typename T>
struct SinCos {
    T s, c;
};

// Full-range sine and cosine in precision T: the device's functions in a kernel, sincos/sincosf
// on the host.
template <typename T>
VELLORAN_HD SinCos<T> sin_cos(T x) {
    SinCos<T> r;
    device_sincos(x, &r.s, &r.c);
    return r;
}

// a0' = m00 a0 + m01 a1, a1' = m10 a0 + m11 a1, zero entries included in the products.
template <typename T>
VELLORAN_HD void apply_matrix(CuComplex<T>& a0, CuComplex<T>& a1, const GateMatrix2x2<T>& m) {
    const CuComplex<T> b0 = mul_add(m.m00, a0, m.m01, a1);
    a1 = mul_add(m.m10, a0, m.m11, a1);
    a0 = b0;
}

// A one-angle gate whose all-state and pair kernels build the full matrix per thread
// (`Gate::matrix`) and apply it; `Gate::entries` is the host-prepared AutoPair argument.
template <class Gate>
struct AngleGate {
    template <class T>
    using Generic = Angle<T>;
    static constexpr bool kHighOnly = false;
    static constexpr bool kScanControlled = false;
    template <class T>
    static VELLORAN_HD GateMatrix2x2<T> prepare(Angle<T> g) {
        return Gate::matrix(g.theta);
    }
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>& a0, CuComplex<T>& a1, const GateMatrix2x2<T>& m) {
        apply_matrix(a0, a1, m);
    }
    template <class T>
    static auto make_auto(Angle<T> g) {
        return Gate::entries(g.theta);
    }
};

// RX, RY and RZ: AutoPair entries A and B built from sin and cos of theta/2.
template <class Gate>
struct RotationGate : AngleGate<Gate> {
    template <class T>
    using Auto = EntryPair<T>;
    template <class T>
    static VELLORAN_HD SinCos<T> half_angle(T theta) {
        return sin_cos(theta * T(0.5));
    }
};

// Launches a gate with argument record `generic`; the AutoPair argument is made on the host from
// the same record, only when PairAuto needs it.
template <class Kernels, class T>
void launch_angle_gate(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
                       const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode,
                       const char* launch_prefix, typename Kernels::gate::template Generic<T> generic) {
    launch_single_qubit_gate<Kernels, T>(n, state, target, controls, control_state, stream, mode, launch_prefix,
                                         generic, [&] { return Kernels::gate::make_auto(generic); });
}

// Defines the launcher `cu_<g>` of a one-angle gate and instantiates it for both precisions.
#define KETSIM_ANGLE_GATE_LAUNCHER(g)                                                                              \
    template <typename T>                                                                                          \
    void cu_##g(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,            \
                const std::vector<int64_t>& control_state, cudaStream_t stream, T theta, KernelMode mode) {        \
        launch_angle_gate<g##_kernels, T>(n, state, target, controls, control_state, stream, mode,                 \
                                          "cu_" #g " kernel launch failed: ", Angle<T>{theta});                    \
    }                                                                                                              \
    template void cu_##g<float>(uint64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&,                \
                                const std::vector<int64_t>&, cudaStream_t, float, KernelMode);                     \
    template void cu_##g<double>(uint64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&,              \
                                 const std::vector<int64_t>&, cudaStream_t, double, KernelMode);

}  // namespace ketsim
