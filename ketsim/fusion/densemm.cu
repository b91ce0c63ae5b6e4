// The DenseMM executor: the gather and scatter transposes and the complex GEMM between them. In the
// gathered order, index d = col * 2^k + row holds the amplitude whose active qubits read `row` and
// whose inactive qubits read `col`, so the buffer is a column-major 2^k x 2^(n-k) matrix.
#include "densemm.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "../../common/block_loops.h"
#include "../../common/device_access.h"
#include "../../common/launch.h"
#include "../gates/index_bits.h"
#include "fused_index.h"

namespace ketsim::fusion {

namespace {

constexpr unsigned int kTransposeBlock = 256;
constexpr unsigned int kTransposeMaxBlocks = 65535;

// State index of gathered index d: row = its low k bits over the active qubits, col = the rest over
// the inactive ones.
VELLORAN_HD uint64_t gathered_source(uint64_t d, uint64_t active_mask, uint64_t inactive_mask, int32_t k,
                                     bool via_active) {
    const uint64_t row = d & ((uint64_t{1} << k) - 1);
    return deposit_bits(row, active_mask) | deposit_into(d >> k, inactive_mask, active_mask, via_active);
}

template <typename T>
__global__ void transpose_to_low_bits(uint64_t count, const CuComplex<T>* source, CuComplex<T>* destination,
                                      uint64_t active_mask, uint64_t inactive_mask, int32_t k) {
    const bool via_active = prefer_complement(inactive_mask, active_mask);
    velloran::for_grid_stride_index(count, 0, 0, [=](uint64_t d) {
        velloran::store_amplitude(destination + d, velloran::load_amplitude(
                                                       source + gathered_source(d, active_mask, inactive_mask, k, via_active)));
    });
}

template <typename T>
__global__ void transpose_from_low_bits(uint64_t count, const CuComplex<T>* source, CuComplex<T>* destination,
                                        uint64_t active_mask, uint64_t inactive_mask, int32_t k) {
    const bool via_active = prefer_complement(inactive_mask, active_mask);
    velloran::for_grid_stride_index(count, 0, 0, [=](uint64_t d) {
        velloran::store_amplitude(destination + gathered_source(d, active_mask, inactive_mask, k, via_active),
                                  velloran::load_amplitude(source + d));
    });
}

void check_blas(cublasStatus_t status, const char* operation) {
    if (status != CUBLAS_STATUS_SUCCESS) throw std::runtime_error(std::string(operation) + " failed");
}

cublasStatus_t gemm(cublasHandle_t handle, int rows, int cols, const CuComplex<double>* matrix,
                    const CuComplex<double>* b, CuComplex<double>* c) {
    const cuDoubleComplex one{1.0, 0.0}, zero{0.0, 0.0};
    return cublasZgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, rows, cols, rows, &one,
                       reinterpret_cast<const cuDoubleComplex*>(matrix), rows,
                       reinterpret_cast<const cuDoubleComplex*>(b), rows, &zero,
                       reinterpret_cast<cuDoubleComplex*>(c), rows);
}

cublasStatus_t gemm(cublasHandle_t handle, int rows, int cols, const CuComplex<float>* matrix,
                    const CuComplex<float>* b, CuComplex<float>* c) {
    const cuComplex one{1.0f, 0.0f}, zero{0.0f, 0.0f};
    return cublasCgemm(handle, CUBLAS_OP_T, CUBLAS_OP_N, rows, cols, rows, &one,
                       reinterpret_cast<const cuComplex*>(matrix), rows, reinterpret_cast<const cuComplex*>(b), rows,
                       &zero, reinterpret_cast<cuComplex*>(c), rows);
}

template <typename T>
constexpr const char* gemm_name() {
    return sizeof(T) == sizeof(double) ? "cublasZgemm DenseMM" : "cublasCgemm DenseMM";
}

}  // namespace

template <typename T>
void apply_densemm(cublasHandle_t handle, int64_t n, CuComplex<T>* state, CuComplex<T>* transpose,
                   CuComplex<T>* gemm_buffer, uint64_t active_mask, int32_t k, const CuComplex<T>* matrix,
                   cudaStream_t stream) {
    if (k < 1 || k >= n) throw std::invalid_argument("DenseMM active qubits must be in [1, n-1]");
    // The GEMM's row count and leading dimensions are cuBLAS ints; the mask must name exactly the k
    // qubits below n that the matrix is built for, or the transposes would leave the state.
    if (n > 62 || k > 30) throw std::invalid_argument("DenseMM row count exceeds cuBLAS int range");
    const uint64_t count = uint64_t{1} << n;
    if ((active_mask & ~(count - 1)) != 0 || bit_count(active_mask) != k) {
        throw std::invalid_argument("DenseMM active mask must name k qubits below n");
    }
    const uint64_t inactive_mask = active_mask ^ (count - 1);
    const dim3 grid(velloran::capped_grid_for(count, kTransposeBlock, kTransposeMaxBlocks));
    velloran::launch_indexed_kernel<&transpose_to_low_bits<T>>(grid, dim3(kTransposeBlock), 0, stream, count,
                                                               static_cast<const CuComplex<T>*>(state), transpose,
                                                               active_mask, inactive_mask, k);
    const uint64_t cols = count >> k;
    if (cols > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
        throw std::invalid_argument("DenseMM column count exceeds cuBLAS int range");
    }
    const int rows = 1 << k;
    check_blas(cublasSetStream(handle, stream), "cublasSetStream DenseMM");
    check_blas(gemm(handle, rows, static_cast<int>(cols), matrix, transpose, gemm_buffer), gemm_name<T>());
    velloran::launch_indexed_kernel<&transpose_from_low_bits<T>>(grid, dim3(kTransposeBlock), 0, stream, count,
                                                                 static_cast<const CuComplex<T>*>(gemm_buffer), state,
                                                                 active_mask, inactive_mask, k);
}

template void apply_densemm<float>(cublasHandle_t, int64_t, CuComplex<float>*, CuComplex<float>*, CuComplex<float>*,
                                   uint64_t, int32_t, const CuComplex<float>*, cudaStream_t);
template void apply_densemm<double>(cublasHandle_t, int64_t, CuComplex<double>*, CuComplex<double>*,
                                    CuComplex<double>*, uint64_t, int32_t, const CuComplex<double>*, cudaStream_t);

}  // namespace ketsim::fusion
