// Host stand-in for the CUDA runtime calls the modules make (see host_runtime.h).
#include "host_runtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

constinit thread_local uint3 threadIdx __attribute__((tls_model("initial-exec"))) = {0, 0, 0};
constinit thread_local uint3 blockIdx __attribute__((tls_model("initial-exec"))) = {0, 0, 0};
constinit thread_local dim3 blockDim __attribute__((tls_model("initial-exec"))){};
constinit thread_local dim3 gridDim __attribute__((tls_model("initial-exec"))){};

namespace {

constexpr size_t kAllocationAlignment = 256;
// States and matrices from this size up sit on 2 MiB pages where the kernel offers them: the fused
// kernels and high-qubit gates touch many pages per tile, and small pages turn that into TLB misses.
constexpr size_t kLargePage = size_t{2} << 20;
constexpr size_t kMaxSharedBytes = 48 * 1024;

thread_local cudaError_t tl_last_error = cudaSuccess;
thread_local bool tl_barriers_allowed = false;
thread_local int* tl_fault_slot = nullptr;
thread_local cudaError_t tl_kernel_fault = cudaSuccess;

struct SharedBuffer {
    unsigned char* data = nullptr;
    size_t size = 0;
    ~SharedBuffer() { std::free(data); }
};
thread_local SharedBuffer tl_shared;

std::mutex g_registry_mutex;
std::map<uintptr_t, size_t>& registered_ranges() {
    static std::map<uintptr_t, size_t> ranges;
    return ranges;
}

// Memory the machine can hold right now: an allocation beyond it would be killed on first touch
// under overcommit, so it fails here as out of memory instead.
size_t available_bytes() {
    if (FILE* f = std::fopen("/proc/meminfo", "r")) {
        char line[256];
        unsigned long long kib = 0;
        bool found = false;
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) {
                found = true;
                break;
            }
        }
        std::fclose(f);
        if (found) return static_cast<size_t>(kib) * 1024u;
    }
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0) return static_cast<size_t>(pages) * static_cast<size_t>(page_size);
    return SIZE_MAX;
}

cudaError_t record(cudaError_t error) {
    if (error != cudaSuccess) tl_last_error = error;
    return error;
}

// A fault raised while an earlier kernel ran surfaces at the next synchronising call.
cudaError_t take_kernel_fault() {
    const cudaError_t fault = tl_kernel_fault;
    tl_kernel_fault = cudaSuccess;
    return fault;
}

bool valid_kind(cudaMemcpyKind kind) { return kind >= cudaMemcpyHostToHost && kind <= cudaMemcpyDefault; }

}  // namespace

cudaError_t cudaSetDevice(int device) {
    // The host backend exposes exactly one device, ordinal 0.
    return record(device == 0 ? cudaSuccess : cudaErrorInvalidDevice);
}

cudaError_t cudaGetDevice(int* device) {
    if (!device) return record(cudaErrorInvalidValue);
    *device = 0;
    return cudaSuccess;
}

cudaError_t cudaGetDeviceCount(int* count) {
    if (!count) return record(cudaErrorInvalidValue);
    *count = 1;
    return cudaSuccess;
}

cudaError_t cudaMalloc(void** ptr, size_t bytes) {
    if (!ptr) return record(cudaErrorInvalidValue);
    *ptr = nullptr;
    if (bytes == 0) return cudaSuccess;
    if (bytes > SIZE_MAX - kLargePage || bytes > available_bytes()) return record(cudaErrorMemoryAllocation);
    const size_t alignment = bytes >= kLargePage ? kLargePage : kAllocationAlignment;
    const size_t rounded = (bytes + alignment - 1) / alignment * alignment;
    void* p = std::aligned_alloc(alignment, rounded);
    if (!p) return record(cudaErrorMemoryAllocation);
#if defined(MADV_HUGEPAGE)
    if (alignment == kLargePage) (void)madvise(p, rounded, MADV_HUGEPAGE);  // advice only; refusal is harmless
#endif
    *ptr = p;
    return cudaSuccess;
}

cudaError_t cudaFree(void* ptr) {
    std::free(ptr);
    return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
    if (const cudaError_t fault = take_kernel_fault()) return record(fault);
    if (!valid_kind(kind)) return record(cudaErrorInvalidMemcpyDirection);
    if (bytes == 0) return cudaSuccess;
    if (!dst || !src) return record(cudaErrorInvalidValue);
    std::memmove(dst, src, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, cudaStream_t) {
    return cudaMemcpy(dst, src, bytes, kind);
}

cudaError_t cudaMemset(void* ptr, int value, size_t bytes) {
    if (const cudaError_t fault = take_kernel_fault()) return record(fault);
    if (bytes == 0) return cudaSuccess;
    if (!ptr) return record(cudaErrorInvalidValue);
    std::memset(ptr, value, bytes);
    return cudaSuccess;
}

cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t) {
    return cudaMemset(ptr, value, bytes);
}

cudaError_t cudaHostRegister(void* ptr, size_t bytes, unsigned int flags) {
    if (!ptr || bytes == 0 || flags > 0xF) return record(cudaErrorInvalidValue);
    const uintptr_t begin = reinterpret_cast<uintptr_t>(ptr);
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    auto& ranges = registered_ranges();
    auto next = ranges.lower_bound(begin);
    if (next != ranges.end() && next->first < begin + bytes) return record(cudaErrorHostMemoryAlreadyRegistered);
    if (next != ranges.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second > begin) return record(cudaErrorHostMemoryAlreadyRegistered);
    }
    ranges.emplace(begin, bytes);
    return cudaSuccess;
}

cudaError_t cudaHostUnregister(void* ptr) {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    auto& ranges = registered_ranges();
    const auto it = ranges.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == ranges.end()) return record(cudaErrorHostMemoryNotRegistered);
    ranges.erase(it);
    return cudaSuccess;
}

cudaError_t cudaGetLastError() {
    cudaError_t error = tl_last_error;
    tl_last_error = cudaSuccess;
    if (error == cudaSuccess) error = take_kernel_fault();
    return error;
}

cudaError_t cudaPeekAtLastError() {
    if (tl_last_error != cudaSuccess) return tl_last_error;
    return tl_kernel_fault;
}

const char* cudaGetErrorString(cudaError_t error) {
    switch (error) {
        case cudaSuccess: return "no error";
        case cudaErrorInvalidValue: return "invalid argument";
        case cudaErrorMemoryAllocation: return "out of memory";
        case cudaErrorInvalidConfiguration: return "invalid configuration argument";
        case cudaErrorInvalidDevicePointer: return "invalid device pointer";
        case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
        case cudaErrorInvalidDevice: return "invalid device ordinal";
        case cudaErrorInvalidResourceHandle: return "invalid resource handle";
        case cudaErrorHostMemoryAlreadyRegistered: return "part or all of the requested memory range is already mapped";
        case cudaErrorHostMemoryNotRegistered: return "pointer does not correspond to a registered memory region";
        case cudaErrorLaunchFailure: return "unspecified launch failure";
    }
    return "unrecognized error code";
}

cudaError_t cudaStreamSynchronize(cudaStream_t) { return record(take_kernel_fault()); }

cudaError_t cudaDeviceSynchronize() { return record(take_kernel_fault()); }

void __syncthreads() {
    if (!tl_barriers_allowed && tl_fault_slot) {
        std::atomic_ref<int>(*tl_fault_slot).store(cudaErrorLaunchFailure, std::memory_order_relaxed);
    }
}

namespace velloran::host {

void report_kernel_fault(cudaError_t error) {
    if (tl_kernel_fault == cudaSuccess) tl_kernel_fault = error;
}

bool check_launch(dim3 grid, dim3 block, size_t shared_bytes) {
    const unsigned long long threads = 1ull * block.x * block.y * block.z;
    const bool block_ok = block.x >= 1 && block.y >= 1 && block.z >= 1 && block.x <= 1024 && block.y <= 1024 &&
                          block.z <= 64 && threads <= 1024;
    const bool grid_ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 2147483647u && grid.y <= 65535u &&
                         grid.z <= 65535u;
    if (!block_ok || !grid_ok) {
        record(cudaErrorInvalidConfiguration);
        return false;
    }
    if (shared_bytes > kMaxSharedBytes) {
        record(cudaErrorInvalidValue);
        return false;
    }
    return true;
}

unsigned char* worker_shared_buffer(size_t bytes) {
    if (tl_shared.size < bytes) {
        std::free(tl_shared.data);
        const size_t rounded = (bytes + 63) / 64 * 64;
        tl_shared.data = static_cast<unsigned char*>(std::aligned_alloc(64, rounded));
        tl_shared.size = tl_shared.data ? rounded : 0;
    }
    return tl_shared.data;
}

unsigned char* current_shared_buffer() { return tl_shared.data; }

LaunchScope::LaunchScope(bool barriers_allowed, int* fault_slot)
    : previous_barriers(tl_barriers_allowed), previous_slot(tl_fault_slot) {
    tl_barriers_allowed = barriers_allowed;
    tl_fault_slot = fault_slot;
}
LaunchScope::~LaunchScope() {
    tl_barriers_allowed = previous_barriers;
    tl_fault_slot = previous_slot;
}

namespace {

// A fixed team of worker threads that run the parts of one grid at a time. Idle workers spin
// briefly for the next grid (launches come back to back) and then sleep, so a busy machine is not
// made busier by waiting.
class WorkerPool {
public:
    explicit WorkerPool(unsigned threads) : parts_(threads) {
        for (unsigned part = 1; part < threads; ++part) workers_.emplace_back([this, part] { work(part); });
    }

    unsigned parts() const { return parts_; }

    void run(WorkerTask task, void* context) {
        std::lock_guard<std::mutex> turn(run_mutex_);
        task_ = task;
        context_ = context;
        pending_.store(parts_ - 1, std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        task(context, 0, parts_);
        // Wait on the count seen to be nonzero: re-reading it could give 0, and waiting on 0 never ends.
        unsigned left;
        for (int spins = 0; (left = pending_.load(std::memory_order_acquire)) != 0; ++spins) {
            if (spins > kSpins) pending_.wait(left, std::memory_order_acquire);
        }
    }

private:
    static constexpr int kSpins = 20000;

    [[noreturn]] void work(unsigned part) {
        uint64_t seen = 0;
        for (;;) {
            uint64_t now = generation_.load(std::memory_order_acquire);
            for (int spins = 0; now == seen; ++spins) {
                if (spins > kSpins) generation_.wait(seen, std::memory_order_acquire);
                now = generation_.load(std::memory_order_acquire);
            }
            seen = now;
            task_(context_, part, parts_);
            if (pending_.fetch_sub(1, std::memory_order_acq_rel) == 1) pending_.notify_one();
        }
    }

    const unsigned parts_;
    std::vector<std::thread> workers_;
    std::mutex run_mutex_;
    WorkerTask task_ = nullptr;
    void* context_ = nullptr;
    std::atomic<uint64_t> generation_{0};
    std::atomic<unsigned> pending_{0};
};

// VELLORAN_HOST_THREADS, else the CPUs this process may run on.
unsigned configured_threads() {
    if (const char* text = std::getenv("VELLORAN_HOST_THREADS")) {
        const long value = std::strtol(text, nullptr, 10);
        if (value >= 1 && value <= 1024) return static_cast<unsigned>(value);
    }
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware ? hardware : 1;
}

std::mutex g_pool_mutex;
WorkerPool* g_pool = nullptr;

// A forked child has none of the parent's workers: it builds its own team on first use. The
// parent's pool object is left alone (its threads do not exist in the child).
void forget_pool_in_child() {
    new (&g_pool_mutex) std::mutex();
    g_pool = nullptr;
}

WorkerPool& pool() {
    std::lock_guard<std::mutex> lock(g_pool_mutex);
    if (!g_pool) {
        static std::once_flag registered;
        std::call_once(registered, [] { pthread_atfork(nullptr, nullptr, forget_pool_in_child); });
        // Workers live for the whole process, like a device context.
        g_pool = new WorkerPool(configured_threads());
    }
    return *g_pool;
}

}  // namespace

unsigned worker_count() { return pool().parts(); }

void run_on_workers(WorkerTask task, void* context) { pool().run(task, context); }

}  // namespace velloran::host
