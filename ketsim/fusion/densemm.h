// The DenseMM executor: applies a fused group's dense 2^k x 2^k matrix to the state with one complex
// GEMM, after gathering the active qubits into the low index bits and before scattering them back.
#pragma once

#include <cstdint>

#include "../../common/blas.h"
#include "../../common/cu_complex.h"

namespace ketsim::fusion {

// Queues gather, GEMM and scatter on `stream`. `transpose` and `gemm` hold at least 2^n amplitudes;
// `matrix` is the group's row-major matrix in device memory.
template <typename T>
void apply_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose,
                   CuComplex<T>* gemm, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                   cudaStream_t stream);

}  // namespace ketsim::fusion
