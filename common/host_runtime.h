// Host stand-in for the part of the CUDA runtime that both modules use: device memory in host RAM,
// blocking copies, host registration, error state, and kernel launches that run the grid's blocks
// in parallel on the CPU cores. Included only by the host build, through backend.h.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// CUDA function-space qualifiers have no meaning on the host.
#define __global__
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))

// The codes and texts are those of the CUDA runtime, so messages read the same in both builds.
enum cudaError_t : int {
    cudaSuccess = 0,
    cudaErrorInvalidValue = 1,
    cudaErrorMemoryAllocation = 2,
    cudaErrorInvalidConfiguration = 9,
    cudaErrorInvalidDevicePointer = 17,
    cudaErrorInvalidMemcpyDirection = 21,
    cudaErrorInvalidDevice = 101,
    cudaErrorInvalidResourceHandle = 400,
    cudaErrorHostMemoryAlreadyRegistered = 712,
    cudaErrorHostMemoryNotRegistered = 713,
    cudaErrorLaunchFailure = 719,
};
typedef cudaError_t cudaError;

enum cudaMemcpyKind : int {
    cudaMemcpyHostToHost = 0,
    cudaMemcpyHostToDevice = 1,
    cudaMemcpyDeviceToHost = 2,
    cudaMemcpyDeviceToDevice = 3,
    cudaMemcpyDefault = 4,
};

struct CUstream_st;
typedef CUstream_st* cudaStream_t;

struct uint3 {
    unsigned int x, y, z;
};

struct dim3 {
    unsigned int x, y, z;
    constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

#define cudaHostRegisterDefault 0u

// Per-worker kernel coordinates, read by kernels exactly as on the GPU.
extern thread_local constinit uint3 threadIdx __attribute__((tls_model("initial-exec")));
extern thread_local constinit uint3 blockIdx __attribute__((tls_model("initial-exec")));
extern thread_local constinit dim3 blockDim __attribute__((tls_model("initial-exec")));
extern thread_local constinit dim3 gridDim __attribute__((tls_model("initial-exec")));

cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaMalloc(void** ptr, size_t bytes);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemset(void* ptr, int value, size_t bytes);
cudaError_t cudaMemsetAsync(void* ptr, int value, size_t bytes, cudaStream_t stream = nullptr);
cudaError_t cudaHostRegister(void* ptr, size_t bytes, unsigned int flags);
cudaError_t cudaHostUnregister(void* ptr);
cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaDeviceSynchronize();

template <typename T>
inline cudaError_t cudaMalloc(T** ptr, size_t bytes) {
    return cudaMalloc(reinterpret_cast<void**>(ptr), bytes);
}

// A barrier is only legal in kernels launched as barrier kernels (see launch.h); anywhere else it is
// recorded as a launch failure instead of silently doing nothing.
void __syncthreads();

namespace velloran::host {

// Records, for the calling host thread, a failure raised while one of its kernels ran; it is
// reported by that thread's next error query or synchronising call, like an asynchronous kernel
// fault on the GPU.
void report_kernel_fault(cudaError_t error);

// The dynamic shared memory a CUDA block has without asking the device for more.
inline constexpr size_t kMaxSharedBytes = 48 * 1024;

// Validates a launch against the limits of a CUDA device (shared memory against `shared_limit`); a
// bad one sets the last error.
bool check_launch(dim3 grid, dim3 block, size_t shared_bytes, size_t shared_limit = kMaxSharedBytes);

// Makes sure the calling worker has a dynamic shared-memory buffer of at least `bytes`; null when
// the host is out of memory.
unsigned char* worker_shared_buffer(size_t bytes);
unsigned char* current_shared_buffer();

// Marks a worker as running blocks of one launch: whether barriers are legal, and where a fault
// raised by a block goes (a slot owned by the launch, read by the launching thread afterwards).
struct LaunchScope {
    LaunchScope(bool barriers_allowed, int* fault_slot);
    ~LaunchScope();
    bool previous_barriers;
    int* previous_slot;
};

// How the blocks of a barrier launch run on the host.
enum class BarrierThreads : int {
    // Each block as a single thread (blockDim reads 1): exact for kernels whose loops all stride by
    // blockDim.x, and the fast way. The default.
    One,
    // Each block with all its threads, threadIdx and blockDim reading as on the GPU: every thread is
    // a fiber of the worker that runs the block, and the fibers take turns between barriers. The
    // GPU's thread-level path runs, and ThreadSanitizer sees each fiber as a thread of its own,
    // ordered with its block's other threads only by __syncthreads and by the end of the block.
    Block,
};

// The mode of this process: Block when VELLORAN_HOST_BARRIER_THREADS is "block", One when it is
// unset, empty or "one"; read once. Any other value is refused loudly (std::abort), so a misspelt
// setting cannot quietly test the wrong path.
BarrierThreads barrier_threads();
// Sets the mode for the launches that follow and returns the previous one: for tests that compare
// the two in one process. Not while a launch is running.
BarrierThreads set_barrier_threads(BarrierThreads mode);

// Runs blocks [begin, end) of the current barrier launch on the calling worker with all `block`
// threads each, every thread calling task(kernel); blockIdx and threadIdx are set per block and
// per thread, gridDim and blockDim are the caller's. False, with nothing run, when the threads'
// stacks cannot be allocated.
using BlockTask = void (*)(void* kernel);
bool run_block_threads(dim3 grid, dim3 block, unsigned long long begin, unsigned long long end, BlockTask task,
                       void* kernel);

// Runs task(context, part, parts) for every part on the host's worker threads, the calling
// thread taking part 0, and returns when all parts are done. Grids of several launching threads
// take turns.
using WorkerTask = void (*)(void* context, unsigned part, unsigned parts);
void run_on_workers(WorkerTask task, void* context);
unsigned worker_count();

// How run_grid calls a kernel's blocks.
enum class LaunchKind : int {
    // Every thread of every block, one after another on the block's worker.
    Threads,
    // A kernel that meets at barriers: each block as one thread or with all its threads, as
    // barrier_threads() says.
    Barriers,
    // A kernel that walks its whole block's indices when called once per block (for_thread_index):
    // one call per block, threadIdx 0. Its blocks serve only to cut the index range, so the host
    // merges runs of consecutive blocks of a one-dimensional launch into one (see whole_blocks).
    WholeBlocks,
};

// Indices a merged block of a WholeBlocks launch covers at least: a GPU-sized block (256) left
// the walk a call and its set-up per few runs (a controlled gate's block with target and control
// inside it walked two runs of 32 a call, at a third of the speed of the same walk in long
// blocks).
inline constexpr unsigned kWholeBlockIndices = 4096;

// The grid and block a WholeBlocks launch runs with: consecutive blocks merged into one, whose
// range is their ranges together. A walk by block ranges covers the same indices, and a
// grid-stride walk covers its whole range with any grid.
struct MergedGrid {
    dim3 grid;
    dim3 block;
};

inline MergedGrid whole_blocks(dim3 grid, dim3 block) {
    if (grid.y != 1 || grid.z != 1 || block.y != 1 || block.z != 1 || block.x == 0 ||
        block.x >= kWholeBlockIndices) {
        return {grid, block};
    }
    const unsigned merge = kWholeBlockIndices / block.x;
    return {dim3(grid.x / merge + (grid.x % merge != 0)), dim3(block.x * merge)};
}

// How many chunks of blocks a launch is cut into per worker.
inline constexpr unsigned long long kChunksPerWorker = 32;

// Runs every block of the grid on the workers, in chunks of consecutive blocks: each worker starts
// with a chunk of its own and takes the next free one whenever it finishes. The blocks of one
// launch may differ in work (those of a controlled gate on a high control qubit that fall outside
// the control's half return at once), and halves of the grid split between two workers left one of
// them all the work.
template <typename Body>
void run_grid(dim3 launch_grid, dim3 launch_block, size_t shared_bytes, LaunchKind kind, Body&& body) {
    using Kernel = std::decay_t<Body>;
    const MergedGrid merged =
        kind == LaunchKind::WholeBlocks ? whole_blocks(launch_grid, launch_block) : MergedGrid{launch_grid, launch_block};
    const dim3 grid = merged.grid;
    const dim3 block = merged.block;
    const unsigned long long blocks_x = grid.x;
    const unsigned long long blocks = blocks_x * grid.y * grid.z;
    const bool barriers = kind == LaunchKind::Barriers;
    const bool block_threads = barriers && barrier_threads() == BarrierThreads::Block;
    const dim3 effective_block = barriers && !block_threads ? dim3(1, 1, 1) : block;
    const dim3 called_threads = kind == LaunchKind::WholeBlocks ? dim3(1, 1, 1) : effective_block;
    int fault = 0;
    std::atomic<unsigned long long> next_chunk{0};
    auto run_part = [&](unsigned part, unsigned parts) {
        const unsigned long long chunk = std::max(1ull, blocks / (parts * kChunksPerWorker));
        const unsigned long long chunks = (blocks + chunk - 1) / chunk;
        if (part >= chunks) return;
        if (shared_bytes && !worker_shared_buffer(shared_bytes)) {
            // The launch fails as a whole; the blocks of other workers may have run, as on a GPU.
            std::atomic_ref<int>(fault).store(cudaErrorMemoryAllocation, std::memory_order_relaxed);
            return;
        }
        LaunchScope launch_scope(barriers, &fault);
        // A copy private to this worker: its arguments can stay in registers, where the shared
        // one's would be reloaded after every store the kernel makes.
        Kernel kernel = body;
        gridDim = grid;
        blockDim = effective_block;
        // Chunks 0 to parts - 1 are the workers' first; the counter hands out the rest.
        for (unsigned long long c = part; c < chunks; c = parts + next_chunk.fetch_add(1, std::memory_order_relaxed)) {
            const unsigned long long begin = c * chunk;
            const unsigned long long end = std::min(blocks, begin + chunk);
            if (block_threads) {
                if (!run_block_threads(grid, block, begin, end, [](void* k) { (*static_cast<Kernel*>(k))(); },
                                       &kernel)) {
                    std::atomic_ref<int>(fault).store(cudaErrorMemoryAllocation, std::memory_order_relaxed);
                    return;
                }
                continue;
            }
            for (unsigned long long b = begin; b < end; ++b) {
                blockIdx.x = static_cast<unsigned>(b % blocks_x);
                blockIdx.y = static_cast<unsigned>((b / blocks_x) % grid.y);
                blockIdx.z = static_cast<unsigned>(b / (blocks_x * grid.y));
                for (unsigned tz = 0; tz < called_threads.z; ++tz) {
                    for (unsigned ty = 0; ty < called_threads.y; ++ty) {
                        for (unsigned tx = 0; tx < called_threads.x; ++tx) {
                            threadIdx.x = tx;
                            threadIdx.y = ty;
                            threadIdx.z = tz;
                            kernel();
                        }
                    }
                }
            }
        }
    };
    using Part = decltype(run_part);
    if (blocks == 1 || worker_count() == 1) {
        run_part(0, 1);
    } else {
        run_on_workers([](void* context, unsigned part, unsigned parts) { (*static_cast<Part*>(context))(part, parts); },
                       &run_part);
    }
    if (fault) report_kernel_fault(static_cast<cudaError_t>(fault));
}

}  // namespace velloran::host
