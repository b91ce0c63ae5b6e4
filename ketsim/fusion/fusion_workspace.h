// What a fusion plan needs on the GPU for one execution: its records and matrices in device memory,
// and the calling thread's DenseMM cache (cuBLAS handle and two scratch buffers), which outlives
// executions and is released when the thread exits.
#pragma once

#include <cstdint>

#include "../../common/blas.h"
#include "../../common/cu_complex.h"
#include "fusion.h"

namespace ketsim::fusion {

template <typename T>
struct FusionWorkspace {
    int64_t n = 0;
    DeviceMatrixGate<CuComplex<T>>* sparse_records = nullptr;  // owned
    CuComplex<T>* dense_matrices = nullptr;                    // owned
    CuComplex<T>* transpose_buffer = nullptr;                  // borrowed from the DenseMM cache
    CuComplex<T>* gemm_buffer = nullptr;                       // borrowed
    cublasHandle_t handle = nullptr;                           // borrowed
    uint64_t sparse_count = 0;  // records in sparse_records
    uint64_t dense_count = 0;   // elements in dense_matrices
};

// Uploads the plan's records and matrices and, when it has DenseMM groups, brings the thread's
// DenseMM cache of this precision to the current device and to 2^n amplitudes. Leaves nothing
// allocated when it throws. The caller has selected the state's device.
template <typename T>
FusionWorkspace<T> prepare_fusion_workspace(int64_t n, const FusionPlan& plan);

// Queues one SparseShareMem or DenseMM group on `stream`.
template <typename T>
void run_fused_group(const FusionWorkspace<T>& workspace, CuComplex<T>* state, const FusionGroup& group,
                     cudaStream_t stream);

// Frees the workspace's own arrays (never the borrowed cache members).
template <typename T>
void release_fusion_workspace(FusionWorkspace<T>& workspace);

// Releases a prepared workspace on every exit path.
template <typename T>
class FusionWorkspaceScope {
public:
    explicit FusionWorkspaceScope(FusionWorkspace<T>& workspace) : workspace_(workspace) {}
    FusionWorkspaceScope(const FusionWorkspaceScope&) = delete;
    FusionWorkspaceScope& operator=(const FusionWorkspaceScope&) = delete;
    ~FusionWorkspaceScope() { release_fusion_workspace(workspace_); }

private:
    FusionWorkspace<T>& workspace_;
};

// A view of the calling thread's DenseMM cache of one precision, for inspection.
struct DenseMMCacheView {
    int32_t device = -1;
    uint64_t capacity = 0;
    const void* transpose_buffer = nullptr;
    const void* gemm_buffer = nullptr;
    bool has_handle = false;
};

template <typename T>
DenseMMCacheView densemm_cache_view();

}  // namespace ketsim::fusion
