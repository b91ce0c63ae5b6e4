// Host stand-in for the CUDA runtime calls the modules make (see host_runtime.h).
#include "host_runtime.h"

#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

// The sanitizers are told about the fibers that run a block's threads (see BlockTeam below).
#if defined(__SANITIZE_THREAD__)
#define VELLORAN_HOST_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELLORAN_HOST_TSAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define VELLORAN_HOST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VELLORAN_HOST_ASAN 1
#endif
#endif
#if defined(VELLORAN_HOST_TSAN)
#include <sanitizer/tsan_interface.h>
#endif
#if defined(VELLORAN_HOST_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif

constinit thread_local uint3 threadIdx __attribute__((tls_model("initial-exec"))) = {0, 0, 0};
constinit thread_local uint3 blockIdx __attribute__((tls_model("initial-exec"))) = {0, 0, 0};
constinit thread_local dim3 blockDim __attribute__((tls_model("initial-exec"))){};
constinit thread_local dim3 gridDim __attribute__((tls_model("initial-exec"))){};

namespace {

constexpr size_t kAllocationAlignment = 256;
// States and matrices from this size up sit on 2 MiB pages where the kernel offers them: the fused
// kernels and high-qubit gates touch many pages per tile, and small pages turn that into TLB misses.
constexpr size_t kLargePage = size_t{2} << 20;

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

namespace {

using velloran::host::BlockTask;

#if defined(VELLORAN_HOST_TSAN)
// Bookkeeping between a worker and its fibers that ThreadSanitizer must not read as ordering (or
// as races): it orders nothing on the GPU. Kept out of line so no tracked code is inlined into it.
#define VELLORAN_UNTRACKED __attribute__((no_sanitize("thread"), noinline))
#else
#define VELLORAN_UNTRACKED
#endif

// Address space of one thread's stack; pages are only backed where the kernel touches them. The
// lowest page is a guard, so an overflow faults instead of writing into a neighbour.
constexpr size_t kFiberStackBytes = size_t{1} << 20;

// One thread of a block: a fiber with its own stack, switched to by the worker that runs the block.
struct BlockThread {
    ucontext_t context{};
    void* mapping = nullptr;
    size_t mapping_bytes = 0;
    void* stack = nullptr;
    uint3 index{};
    bool finished = false;
    void* tsan_fiber = nullptr;
    void* asan_fake_stack = nullptr;
};

// The fibers one worker runs the threads of a block on: made on first use, grown to the largest
// block seen, kept for the worker's lifetime and reused by every block and launch it runs.
//
// A block runs in rounds. In each round every thread that has not returned from the kernel runs
// until its next __syncthreads or its return, one after another (in index order in even rounds and
// in reverse in odd ones, so that no single order hides a missing barrier); the next round starts
// once all are at the barrier or done. Threads that returned count as arrived at every later barrier.
//
// ThreadSanitizer sees each fiber as a thread. A switch to a fiber carries the worker's history into
// it (what the launch set up); a switch back to the worker carries nothing. So the threads of a
// block are ordered by what orders them on a GPU and nothing else: each barrier (every arriving
// thread releases, every leaving thread acquires; rounds alternate between two addresses, so a
// thread leaving a barrier never acquires what another did after it) and the end of the block (every
// thread releases when it returns, the worker acquires once all have).
class BlockTeam {
public:
    BlockTeam() = default;
    BlockTeam(const BlockTeam&) = delete;
    BlockTeam& operator=(const BlockTeam&) = delete;

    ~BlockTeam() {
        for (auto& thread : threads_) {
#if defined(VELLORAN_HOST_TSAN)
            __tsan_destroy_fiber(thread->tsan_fiber);
#endif
            munmap(thread->mapping, thread->mapping_bytes);
        }
    }

    // Makes sure there are at least `count` fibers; false when a stack cannot be had.
    bool reserve(unsigned count) {
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        while (threads_.size() < count) {
            auto thread = std::make_unique<BlockThread>();
            thread->mapping_bytes = kFiberStackBytes + page;
            thread->mapping = mmap(nullptr, thread->mapping_bytes, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
            if (thread->mapping == MAP_FAILED) return false;
            thread->stack = static_cast<unsigned char*>(thread->mapping) + page;
            if (mprotect(thread->mapping, page, PROT_NONE) != 0 || getcontext(&thread->context) != 0) {
                munmap(thread->mapping, thread->mapping_bytes);
                return false;
            }
            thread->context.uc_stack.ss_sp = thread->stack;
            thread->context.uc_stack.ss_size = kFiberStackBytes;
            thread->context.uc_link = nullptr;  // the entry never returns
            makecontext(&thread->context, &BlockTeam::entry, 0);
#if defined(VELLORAN_HOST_TSAN)
            thread->tsan_fiber = __tsan_create_fiber(0);
            const std::string name = "block thread " + std::to_string(threads_.size());
            __tsan_set_fiber_name(thread->tsan_fiber, name.c_str());
#endif
            threads_.push_back(std::move(thread));
        }
        return true;
    }

    VELLORAN_UNTRACKED void run(dim3 grid, dim3 block, unsigned long long begin, unsigned long long end, BlockTask task,
                                void* kernel) {
        task_ = task;
        kernel_ = kernel;
        count_ = block.x * block.y * block.z;
        for (unsigned i = 0; i < count_; ++i) {
            threads_[i]->index = uint3{i % block.x, (i / block.x) % block.y, i / (block.x * block.y)};
        }
#if defined(VELLORAN_HOST_TSAN)
        worker_tsan_fiber_ = __tsan_get_current_fiber();
#endif
        running_team = this;
        const unsigned long long blocks_x = grid.x;
        for (unsigned long long b = begin; b < end; ++b) {
            blockIdx.x = static_cast<unsigned>(b % blocks_x);
            blockIdx.y = static_cast<unsigned>((b / blocks_x) % grid.y);
            blockIdx.z = static_cast<unsigned>(b / (blocks_x * grid.y));
            run_block();
        }
        running_team = nullptr;
    }

    // __syncthreads in the running thread: back to the worker until the round ends.
    VELLORAN_UNTRACKED void arrive() {
        BlockThread* self = current_;
        void* tag = &barrier_tags_[round_ & 1];
#if defined(VELLORAN_HOST_TSAN)
        __tsan_release(tag);
#endif
        switch_to_worker(self);
#if defined(VELLORAN_HOST_TSAN)
        __tsan_acquire(tag);
#endif
    }

    // The team running a block on this host thread (and so on its fibers), if any.
    static thread_local BlockTeam* running_team;

private:
    VELLORAN_UNTRACKED void run_block() {
        for (unsigned i = 0; i < count_; ++i) threads_[i]->finished = false;
        unsigned live = count_;
        for (round_ = 0; live != 0; ++round_) {
            const bool backward = (round_ & 1) != 0;
            for (unsigned k = 0; k < count_; ++k) {
                BlockThread* thread = threads_[backward ? count_ - 1 - k : k].get();
                if (thread->finished) continue;
                switch_to_thread(thread);
                if (thread->finished) --live;
            }
        }
#if defined(VELLORAN_HOST_TSAN)
        __tsan_acquire(&end_tag_);
#endif
    }

    VELLORAN_UNTRACKED void switch_to_thread(BlockThread* thread) {
        current_ = thread;
        threadIdx = thread->index;
#if defined(VELLORAN_HOST_TSAN)
        __tsan_switch_to_fiber(thread->tsan_fiber, 0);
#endif
#if defined(VELLORAN_HOST_ASAN)
        void* fake_stack = nullptr;
        __sanitizer_start_switch_fiber(&fake_stack, thread->stack, kFiberStackBytes);
#endif
        swapcontext(&worker_context_, &thread->context);
#if defined(VELLORAN_HOST_ASAN)
        __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#endif
    }

    VELLORAN_UNTRACKED void switch_to_worker(BlockThread* self) {
#if defined(VELLORAN_HOST_TSAN)
        __tsan_switch_to_fiber(worker_tsan_fiber_, __tsan_switch_to_fiber_no_sync);
#endif
#if defined(VELLORAN_HOST_ASAN)
        __sanitizer_start_switch_fiber(&self->asan_fake_stack, worker_stack_, worker_stack_bytes_);
#endif
        swapcontext(&self->context, &worker_context_);
#if defined(VELLORAN_HOST_ASAN)
        __sanitizer_finish_switch_fiber(self->asan_fake_stack, &worker_stack_, &worker_stack_bytes_);
#endif
    }

    // Where every fiber starts, on its first switch: it runs the kernel once per block, for good.
    VELLORAN_UNTRACKED static void entry() { running_team->thread_main(running_team->current_); }

    [[noreturn]] VELLORAN_UNTRACKED void thread_main(BlockThread* self) {
#if defined(VELLORAN_HOST_ASAN)
        __sanitizer_finish_switch_fiber(nullptr, &worker_stack_, &worker_stack_bytes_);
#endif
        for (;;) {
            task_(kernel_);
            self->finished = true;
#if defined(VELLORAN_HOST_TSAN)
            __tsan_release(&barrier_tags_[round_ & 1]);
            __tsan_release(&end_tag_);
#endif
            switch_to_worker(self);
        }
    }

    std::vector<std::unique_ptr<BlockThread>> threads_;
    unsigned count_ = 0;
    BlockTask task_ = nullptr;
    void* kernel_ = nullptr;
    BlockThread* current_ = nullptr;
    unsigned round_ = 0;
    ucontext_t worker_context_{};
    void* worker_tsan_fiber_ = nullptr;
    const void* worker_stack_ = nullptr;
    size_t worker_stack_bytes_ = 0;
    // Only their addresses matter: what ThreadSanitizer orders the threads through.
    char barrier_tags_[2] = {};
    char end_tag_ = 0;
};

thread_local BlockTeam* BlockTeam::running_team = nullptr;
thread_local std::unique_ptr<BlockTeam> tl_block_team;

}  // namespace

void __syncthreads() {
    if (BlockTeam* team = BlockTeam::running_team) {
        team->arrive();
        return;
    }
    if (!tl_barriers_allowed && tl_fault_slot) {
        std::atomic_ref<int>(*tl_fault_slot).store(cudaErrorLaunchFailure, std::memory_order_relaxed);
    }
}

namespace velloran::host {

void report_kernel_fault(cudaError_t error) {
    if (tl_kernel_fault == cudaSuccess) tl_kernel_fault = error;
}

bool check_launch(dim3 grid, dim3 block, size_t shared_bytes, size_t shared_limit) {
    const unsigned long long threads = 1ull * block.x * block.y * block.z;
    const bool block_ok = block.x >= 1 && block.y >= 1 && block.z >= 1 && block.x <= 1024 && block.y <= 1024 &&
                          block.z <= 64 && threads <= 1024;
    const bool grid_ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 2147483647u && grid.y <= 65535u &&
                         grid.z <= 65535u;
    if (!block_ok || !grid_ok) {
        record(cudaErrorInvalidConfiguration);
        return false;
    }
    if (shared_bytes > shared_limit) {
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

namespace {

BarrierThreads configured_barrier_threads() {
    const char* text = std::getenv("VELLORAN_HOST_BARRIER_THREADS");
    if (text == nullptr || std::strcmp(text, "") == 0 || std::strcmp(text, "one") == 0) return BarrierThreads::One;
    if (std::strcmp(text, "block") == 0) return BarrierThreads::Block;
    std::fprintf(stderr, "VELLORAN_HOST_BARRIER_THREADS must be 'one' or 'block', not '%s'\n", text);
    std::abort();
}

std::atomic<BarrierThreads>& barrier_mode() {
    static std::atomic<BarrierThreads> mode{configured_barrier_threads()};
    return mode;
}

}  // namespace

BarrierThreads barrier_threads() { return barrier_mode().load(std::memory_order_relaxed); }

BarrierThreads set_barrier_threads(BarrierThreads mode) {
    return barrier_mode().exchange(mode, std::memory_order_relaxed);
}

bool run_block_threads(dim3 grid, dim3 block, unsigned long long begin, unsigned long long end, BlockTask task,
                       void* kernel) {
    try {
        if (!tl_block_team) tl_block_team = std::make_unique<BlockTeam>();
        if (!tl_block_team->reserve(block.x * block.y * block.z)) return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    tl_block_team->run(grid, block, begin, end, task, kernel);
    return true;
}

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
    explicit WorkerPool(unsigned threads) {
        for (unsigned part = 1; part < threads; ++part) {
            try {
                workers_.emplace_back([this, part] { work(part); });
            } catch (const std::system_error&) {
                break;  // the system allows no more threads: the pool runs with those it has
            }
            parts_ = part + 1;  // workers read it only for tasks, which start after construction
        }
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

    unsigned parts_ = 1;
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
