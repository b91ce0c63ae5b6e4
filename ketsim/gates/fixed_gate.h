// What the ten fixed single-qubit gates have in common: no angles, so no kernel arguments.
#pragma once

#include "single_qubit_gate.h"

namespace ketsim {

struct FixedGate {
    template <class T>
    using Generic = NoArgs;
    template <class T>
    using Auto = NoArgs;
    static constexpr bool kHighOnly = false;
    static constexpr bool kScanControlled = false;
    static VELLORAN_HD NoArgs prepare(NoArgs) { return {}; }
};

// A fixed gate whose AutoPair kernels compute exactly what its all-state and pair kernels do.
template <class Gate>
struct UniformFixedGate : FixedGate {
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, NoArgs c) {
        Gate::apply_generic(a0, a1, c);
    }
};

// (1 + i) z and (1 - i) z, the factors of the square-root gates.
template <typename T>
VELLORAN_HD CuComplex<T> times_one_plus_i(CuComplex<T> z) {
    return CuComplex<T>{z.re - z.im, z.re + z.im};
}
template <typename T>
VELLORAN_HD CuComplex<T> times_one_minus_i(CuComplex<T> z) {
    return CuComplex<T>{z.re + z.im, z.im - z.re};
}

// Defines the launcher `cu_<g>` of a fixed gate and instantiates it for both precisions.
#define KETSIM_FIXED_GATE_LAUNCHER(g)                                                                              \
    template <typename T>                                                                                          \
    void cu_##g(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,            \
                const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {                 \
        launch_fixed_gate<g##_kernels, T>(n, state, target, controls, control_state, stream, mode,                 \
                                          "cu_" #g " kernel launch failed: ");                                     \
    }                                                                                                              \
    KETSIM_INSTANTIATE_FIXED_LAUNCHER(cu_##g)

}  // namespace ketsim
