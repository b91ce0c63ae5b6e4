// cuBLAS stand-in over OpenBLAS's CBLAS interface (column-major, like cuBLAS).
#include "host_cublas.h"

#include <cblas.h>

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
    scipy_cblas_cgemm(CblasColMajor, to_cblas(transa), to_cblas(transb), m, n, k, alpha, A, lda, B, ldb, beta, C,
                      ldc);
    return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasZgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                           const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                           int ldc) {
    if (!handle) return CUBLAS_STATUS_NOT_INITIALIZED;
    if (!valid_gemm(handle, transa, transb, m, n, k, lda, ldb, ldc)) return CUBLAS_STATUS_INVALID_VALUE;
    if (m == 0 || n == 0) return CUBLAS_STATUS_SUCCESS;
    scipy_cblas_zgemm(CblasColMajor, to_cblas(transa), to_cblas(transb), m, n, k, alpha, A, lda, B, ldb, beta, C,
                      ldc);
    return CUBLAS_STATUS_SUCCESS;
}
