// Host stand-in for the cuBLAS calls the fusion executor makes: handles, stream binding and the
// complex GEMM, which runs on a CPU BLAS (OpenBLAS).
#pragma once

#include "host_runtime.h"

enum cublasStatus_t : int {
    CUBLAS_STATUS_SUCCESS = 0,
    CUBLAS_STATUS_NOT_INITIALIZED = 1,
    CUBLAS_STATUS_ALLOC_FAILED = 3,
    CUBLAS_STATUS_INVALID_VALUE = 7,
};

enum cublasOperation_t : int { CUBLAS_OP_N = 0, CUBLAS_OP_T = 1, CUBLAS_OP_C = 2 };

struct cuComplex {
    float x, y;
};
struct cuDoubleComplex {
    double x, y;
};

struct cublasContext;
typedef cublasContext* cublasHandle_t;

cublasStatus_t cublasCreate(cublasHandle_t* handle);
cublasStatus_t cublasDestroy(cublasHandle_t handle);
cublasStatus_t cublasSetStream(cublasHandle_t handle, cudaStream_t stream);
cublasStatus_t cublasCgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuComplex* alpha, const cuComplex* A, int lda, const cuComplex* B, int ldb,
                           const cuComplex* beta, cuComplex* C, int ldc);
cublasStatus_t cublasZgemm(cublasHandle_t handle, cublasOperation_t transa, cublasOperation_t transb, int m, int n,
                           int k, const cuDoubleComplex* alpha, const cuDoubleComplex* A, int lda,
                           const cuDoubleComplex* B, int ldb, const cuDoubleComplex* beta, cuDoubleComplex* C,
                           int ldc);
