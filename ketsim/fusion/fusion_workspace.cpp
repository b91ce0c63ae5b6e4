// The fusion workspace of one plan execution, the per-thread DenseMM cache it borrows from, and the
// execution of one fused group by the SparseShareMem or DenseMM executor.
#include "fusion_workspace.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "densemm.h"
#include "sparsesharemem.h"

namespace ketsim::fusion {

namespace {

// A CUDA failure of the workspace, named after the operation. The runtime's last-error slot is
// cleared so that a refused allocation is not reported again by the next launch check.
[[noreturn]] void fail(const char* operation, cudaError_t status) {
    (void)cudaGetLastError();
    throw std::runtime_error(std::string(operation) + ": " + cudaGetErrorString(status));
}

void check(cudaError_t status, const char* operation) {
    if (status != cudaSuccess) fail(operation, status);
}

template <typename E>
E* device_alloc(uint64_t count, const char* operation) {
    if (count > std::numeric_limits<size_t>::max() / sizeof(E)) fail(operation, cudaErrorMemoryAllocation);
    void* p = nullptr;
    check(cudaMalloc(&p, static_cast<size_t>(count) * sizeof(E)), operation);
    return static_cast<E*>(p);
}

[[noreturn]] void invalid_plan() { throw std::invalid_argument("invalid fusion plan"); }

// The active qubits of a fused group as a mask; they must be ascending and below n, or the
// executors would index outside the state.
uint64_t active_mask_of(int64_t n, const FusionGroup& group) {
    uint64_t mask = 0;
    int64_t previous = -1;
    for (const int64_t q : group.active_qubits) {
        if (q <= previous || q >= n || q > 62) invalid_plan();
        mask |= uint64_t{1} << q;
        previous = q;
    }
    return mask;
}

void check_plan(int64_t n, const FusionPlan& plan) {
    uint64_t sparse = 0, dense = 0;
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == AutoPair) continue;
        (void)active_mask_of(n, group);
        const int64_t k = static_cast<int64_t>(group.active_qubits.size());
        if (group.kind == SparseShareMem) {
            // Groups the executor refuses (k above its limit) never reach a kernel.
            if (k <= kSparseShareMemMaxQubits) {
                for (const auto& record : group.device_gates) {
                    if (!record_fits_tile(record, k)) invalid_plan();
                }
            }
            if (group.sparse_offset != sparse) invalid_plan();
            sparse += group.device_gates.size();
        } else if (group.kind == DenseMM) {
            if (k > 29 || group.dense_matrix.size() != (uint64_t{1} << (2 * k))) invalid_plan();
            if (group.dense_offset != dense) invalid_plan();
            dense += group.dense_matrix.size();
        }
    }
    if (sparse != plan.sparse_gate_total || dense != plan.dense_element_total) invalid_plan();
}

template <typename T>
CuComplex<T> narrow(Complex z) {
    return CuComplex<T>{static_cast<T>(z.real()), static_cast<T>(z.imag())};
}

// The calling thread's cache of one precision. Being thread_local, it is destroyed when the thread
// exits; the hook is registered by its construction on first use.
template <typename T>
struct DenseMMCache {
    int32_t device = -1;
    uint64_t capacity = 0;
    CuComplex<T>* transpose_buffer = nullptr;
    CuComplex<T>* gemm_buffer = nullptr;
    cublasHandle_t handle = nullptr;

    DenseMMCache() = default;
    DenseMMCache(const DenseMMCache&) = delete;
    DenseMMCache& operator=(const DenseMMCache&) = delete;
    ~DenseMMCache() { reset(); }

    void free_buffers() noexcept {
        if (transpose_buffer) (void)cudaFree(transpose_buffer);
        if (gemm_buffer) (void)cudaFree(gemm_buffer);
        transpose_buffer = gemm_buffer = nullptr;
        capacity = 0;
    }
    // Everything belongs to `device`: select it before letting go.
    void reset() noexcept {
        if (device >= 0) (void)cudaSetDevice(device);
        if (handle) (void)cublasDestroy(handle);
        handle = nullptr;
        free_buffers();
        device = -1;
    }
};

template <typename T>
DenseMMCache<T>& thread_cache() {
    thread_local DenseMMCache<T> cache;
    return cache;
}

template <typename T>
void bind_densemm_cache(int64_t n, FusionWorkspace<T>& workspace) {
    DenseMMCache<T>& cache = thread_cache<T>();
    int current = 0;
    check(cudaGetDevice(&current), "cudaGetDevice DenseMM cache");
    if (cache.device != current) {
        cache.reset();
        check(cudaSetDevice(current), "cudaSetDevice DenseMM cache");
        cache.device = current;
    }
    if (!cache.handle) {
        cublasHandle_t handle = nullptr;
        if (cublasCreate(&handle) != CUBLAS_STATUS_SUCCESS) throw std::runtime_error("cublasCreate DenseMM cache failed");
        cache.handle = handle;
    }
    const uint64_t needed = uint64_t{1} << n;
    if (cache.capacity < needed) {
        cache.free_buffers();
        cache.transpose_buffer = device_alloc<CuComplex<T>>(needed, "cudaMalloc cached DenseMM transpose buffer");
        cache.gemm_buffer = device_alloc<CuComplex<T>>(needed, "cudaMalloc cached DenseMM GEMM buffer");
        cache.capacity = needed;
    }
    workspace.transpose_buffer = cache.transpose_buffer;
    workspace.gemm_buffer = cache.gemm_buffer;
    workspace.handle = cache.handle;
}

}  // namespace

template <typename T>
FusionWorkspace<T> prepare_fusion_workspace(int64_t n, const FusionPlan& plan) {
    if (n < 1 || n > 62) invalid_plan();
    check_plan(n, plan);
    std::vector<DeviceMatrixGate<CuComplex<T>>> records(plan.sparse_gate_total);
    std::vector<CuComplex<T>> matrices(plan.dense_element_total);
    bool has_dense = false;
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == SparseShareMem) {
            auto* out = records.data() + group.sparse_offset;
            for (const auto& r : group.device_gates) {
                out->op = r.op;
                out->target = r.target;
                out->target2 = r.target2;
                out->control_mask = r.control_mask;
                out->control_value = r.control_value;
                for (int j = 0; j < 4; ++j) out->matrix[j] = narrow<T>(r.matrix[j]);
                ++out;
            }
        } else if (group.kind == DenseMM) {
            has_dense = true;
            auto* out = matrices.data() + group.dense_offset;
            for (const Complex z : group.dense_matrix) *out++ = narrow<T>(z);
        }
    }

    FusionWorkspace<T> workspace;
    workspace.n = n;
    try {
        if (!records.empty()) {
            workspace.sparse_records =
                device_alloc<DeviceMatrixGate<CuComplex<T>>>(records.size(), "cudaMalloc SparseShareMem gates");
            workspace.sparse_count = records.size();
            check(cudaMemcpy(workspace.sparse_records, records.data(), records.size() * sizeof(records[0]),
                             cudaMemcpyHostToDevice),
                  "cudaMemcpy SparseShareMem gates");
        }
        if (!matrices.empty()) {
            workspace.dense_matrices = device_alloc<CuComplex<T>>(matrices.size(), "cudaMalloc DenseMM matrices");
            workspace.dense_count = matrices.size();
            check(cudaMemcpy(workspace.dense_matrices, matrices.data(), matrices.size() * sizeof(matrices[0]),
                             cudaMemcpyHostToDevice),
                  "cudaMemcpy DenseMM matrices");
        }
        if (has_dense) bind_densemm_cache(n, workspace);
    } catch (...) {
        release_fusion_workspace(workspace);
        throw;
    }
    return workspace;
}

template <typename T>
void run_fused_group(const FusionWorkspace<T>& workspace, CuComplex<T>* state, const FusionGroup& group,
                     cudaStream_t stream) {
    if (group.kind != SparseShareMem && group.kind != DenseMM) {
        throw std::invalid_argument("AutoPair group cannot use fusion workspace");
    }
    const uint64_t active_mask = active_mask_of(workspace.n, group);
    const int32_t k = static_cast<int32_t>(group.active_qubits.size());
    if (group.kind == SparseShareMem) {
        const uint64_t count = group.device_gates.size();
        if (count > workspace.sparse_count || group.sparse_offset > workspace.sparse_count - count) invalid_plan();
        const DeviceMatrixGate<CuComplex<T>>* records =
            workspace.sparse_records ? workspace.sparse_records + group.sparse_offset : nullptr;
        launch_sparsesharemem<T>(workspace.n, state, active_mask, k, records,
                                 static_cast<int32_t>(std::min<uint64_t>(count, INT32_MAX)), stream);
        return;
    }
    const uint64_t elements = group.dense_matrix.size();
    if (elements > workspace.dense_count || group.dense_offset > workspace.dense_count - elements ||
        !workspace.handle) {
        invalid_plan();
    }
    apply_densemm<T>(workspace.handle, workspace.n, state, workspace.transpose_buffer, workspace.gemm_buffer,
                     active_mask, k, workspace.dense_matrices + group.dense_offset, stream);
}

template <typename T>
void release_fusion_workspace(FusionWorkspace<T>& workspace) {
    if (workspace.sparse_records) (void)cudaFree(workspace.sparse_records);
    if (workspace.dense_matrices) (void)cudaFree(workspace.dense_matrices);
    workspace.sparse_records = nullptr;
    workspace.dense_matrices = nullptr;
    workspace.sparse_count = workspace.dense_count = 0;
}

template <typename T>
DenseMMCacheView densemm_cache_view() {
    const DenseMMCache<T>& cache = thread_cache<T>();
    return DenseMMCacheView{cache.device, cache.capacity, cache.transpose_buffer, cache.gemm_buffer,
                            cache.handle != nullptr};
}

#define KETSIM_INSTANTIATE_WORKSPACE(T)                                                                          \
    template FusionWorkspace<T> prepare_fusion_workspace<T>(int64_t, const FusionPlan&);                       \
    template void run_fused_group<T>(const FusionWorkspace<T>&, CuComplex<T>*, const FusionGroup&, cudaStream_t); \
    template void release_fusion_workspace<T>(FusionWorkspace<T>&);                                            \
    template DenseMMCacheView densemm_cache_view<T>();

KETSIM_INSTANTIATE_WORKSPACE(float)
KETSIM_INSTANTIATE_WORKSPACE(double)

#undef KETSIM_INSTANTIATE_WORKSPACE

}  // namespace ketsim::fusion
