// Host launchers of every gate family, one per precision. Each queues its kernel on `stream`
// and returns; only cu_unitary waits for the device.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "../../common/cu_complex.h"
#include "../gate_record.h"

namespace ketsim {

#define KETSIM_DECLARE_FIXED_LAUNCHER(name)                                                                        \
    template <typename T>                                                                                          \
    void name(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,              \
              const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

KETSIM_DECLARE_FIXED_LAUNCHER(cu_x)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_y)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_z)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_h)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_s)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_sdag)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_sqrtx)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_sqrtxdag)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_sqrty)
KETSIM_DECLARE_FIXED_LAUNCHER(cu_sqrtydag)

#undef KETSIM_DECLARE_FIXED_LAUNCHER

#define KETSIM_DECLARE_ROTATION_LAUNCHER(name)                                                                     \
    template <typename T>                                                                                          \
    void name(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,              \
              const std::vector<int64_t>& control_state, cudaStream_t stream, T theta, KernelMode mode);

KETSIM_DECLARE_ROTATION_LAUNCHER(cu_rx)
KETSIM_DECLARE_ROTATION_LAUNCHER(cu_ry)
KETSIM_DECLARE_ROTATION_LAUNCHER(cu_rz)
KETSIM_DECLARE_ROTATION_LAUNCHER(cu_phase)

#undef KETSIM_DECLARE_ROTATION_LAUNCHER

template <typename T>
void cu_u(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
          const std::vector<int64_t>& control_state, cudaStream_t stream, T theta, T phi, T lambda, KernelMode mode);

template <typename T>
void cu_global_phase(uint64_t n, CuComplex<T>* state, const std::vector<int64_t>& controls,
                     const std::vector<int64_t>& control_state, cudaStream_t stream, T phi);

template <typename T>
void cu_swap(uint64_t n, CuComplex<T>* state, int32_t t0, int32_t t1, const std::vector<int64_t>& controls,
             const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode);

template <typename T>
void cu_unitary(uint64_t n, CuComplex<T>* state, const std::vector<int64_t>& targets,
                const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state,
                const std::vector<std::complex<double>>& matrix, int64_t d, cudaStream_t stream, KernelMode mode);

}  // namespace ketsim
