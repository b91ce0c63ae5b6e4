// cuBLAS stand-in over OpenBLAS's CBLAS interface (column-major, like cuBLAS), with the columns of
// the product split over the host's kernel workers.
#include "host_cublas.h"

#include <cblas.h>

#include <mutex>
#include <new>

struct cublasContext {
    cudaStream_t stream = nullptr;
};

namespace {

bool valid_op(cublasOperation_t op) { return op == CUBLAS_OP_N || op == CUBLAS_OP_T || op == CUBLAS_OP_C; }

CBLAS_TRANSPOSE to_cblas(cublasOperation_t op) {
    return op == CUBLAS_OP_N ? CblasNoTrans : (op == CUBLAS_OP_T ? CblasTrans : CblasConjTrans);
}

// The argument checks cuBLAS makes before it computes anything.
bool valid_gemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n, int k,
                int lda, int ldb, int ldc) {
    if (!valid_op(transa) || !valid_op(transb) || m < 0 || n < 0 || k < 0) return false;
    const int rows_a = transa == CUBLAS_OP_N ? m : k;
    const int rows_b = transb == CUBLAS_OP_N ? k : n;
    return lda >= (rows_a > 1 ? rows_a : 1) && ldb >= (rows_b > 1 ? rows_b : 1) && ldc >= (m > 1 ? m : 1);
}

// Runs gemm(n_begin, n_count) over slices of the columns of C on the host's workers, each slice on
// a single-threaded OpenBLAS call: OpenBLAS's own threads would compete with the workers.
template <typename Gemm>
void run_column_slices(int n, Gemm&& gemm) {
    static std::once_flag single_threaded;
    std::call_once(single_threaded, [] { scipy_openblas_set_num_threads(1); });
    struct Slices {
        int n;
        Gemm* gemm;
    } slices{n, &gemm};
    velloran::host::run_on_workers(
        [](void* context, unsigned part, unsigned parts) {
            const auto& s = *static_cast<Slices*>(context);
            const int begin = static_cast<int>(static_cast<long long>(s.n) * part / parts);
            const int end = static_cast<int>(static_cast<long long>(s.n) * (part + 1) / parts);
            if (begin < end) (*s.gemm)(begin, end - begin);
        },
        &slices);
}

// Where column `col` of op(B) starts.
template <typename Scalar>
const Scalar* column_of_op(const Scalar* B, cublasOperation_t transb, int ldb, int col) {
    return transb == CUBLAS_OP_N ? B + static_cast<long long>(col) * ldb : B + col;
}

}  // namespace

cublasStatus_t cublasCreate(cublasHandle_t* handle) {
    if (!handle) return CUBLAS_STATUS_INVALID_VALUE;
    *handle = new (std::nothrow) cublasContext();
    return *handle ? CUBLAS_STATUS_SUCCESS : CUBLAS_STATUS_ALLOC_FAILED;
}

cublasStatus_t cublasDestroy(cublasHandle_t handle) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    delete handle;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasSetStream(cublasHandle_t handle, cudaStream_t stream) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    handle->stream = stream;
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasCgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B, int ldb,
                           const cuComplex* beta, cuComplex* C, int ldc) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    if (!valid_gemm(handle, transa, transb, m, n, k, lda, ldb, ldc)) return CUBLAS_STATUS_INVALID_VALUE;
    if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
    run_column_slices(n, [&](int col, int count) {
        scipy_cblas_cgemm(CblasColMajor, to_cblas(transa), to_cblas(transb), m, count, k, alpha, A, lda,
                          column_of_op(B, transb, ldb, col), ldb, beta, C + static_cast<long long>(col) * ldc, ldc);
    });
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasZgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                           const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                           int ldc) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    if (!valid_gemm(handle, transa, transb, m, n, k, lda, ldb, ldc)) return CUBLAS_STATUS_INVALID_VALUE;
    if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
    run_column_slices(n, [&](int col, int count) {
        scipy_cblas_zgemm(CblasColMajor, to_cblas(transa), to_cblas(transb), m, count, k, alpha, A, lda,
                          column_of_op(B, transb, ldb, col), ldb, beta, C + static_cast<long long>(col) * ldc, ldc);
    });
    return CUBLAS_STATUS_SUCCESS;
}
