// One way to launch a kernel in both builds: the compiler's launch syntax under nvcc, the host
// grid runner elsewhere. Kernels that meet at __syncthreads are launched with
// launch_barrier_kernel, and every loop in them must stride by blockDim.x. Kernels whose every
// thread takes one index through for_thread_index or a grid-stride walk are launched with
// launch_indexed_kernel, which the host runs a whole block (of merged blocks) per call.
#pragma once

#include <cstdint>

#include "backend.h"

namespace velloran {

constexpr unsigned int kMaxGridX = 2147483647u;

// Blocks needed to cover `items` with `block` threads each; 0 (an invalid grid that makes the
// launch fail) when the count does not fit the device's grid limit.
inline unsigned int grid_for(uint64_t items, unsigned int block) {
    const uint64_t blocks = items / block + (items % block != 0);
    return blocks == 0 ? 1u : (blocks > kMaxGridX ? 0u : static_cast<unsigned int>(blocks));
}

// As grid_for, but capped for kernels whose loops stride over the whole range.
inline unsigned int capped_grid_for(uint64_t items, unsigned int block, unsigned int cap) {
    const uint64_t blocks = items / block + (items % block != 0);
    return blocks == 0 ? 1u : static_cast<unsigned int>(blocks < cap ? blocks : cap);
}

#if defined(VELLORAN_BACKEND_CUDA)

template <auto Kernel, typename... Args>
void launch_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args... args) {
    Kernel<<<grid, block, shared_bytes, stream>>>(args...);
}

template <auto Kernel, typename... Args>
void launch_barrier_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args... args) {
    Kernel<<<grid, block, shared_bytes, stream>>>(args...);
}

template <auto Kernel, typename... Args>
void launch_indexed_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args... args) {
    Kernel<<<grid, block, shared_bytes, stream>>>(args...);
}

template <auto Kernel, typename... Args>
void launch_tile_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t stream, Args... args) {
    Kernel<<<grid, block, shared_bytes, stream>>>(args...);
}

// The block's dynamic shared memory.
template <typename T>
__device__ __forceinline__ T* dynamic_shared() {
    extern __shared__ __align__(16) unsigned char velloran_dynamic_shared[];
    return reinterpret_cast<T*>(velloran_dynamic_shared);
}

#else

template <auto Kernel, typename... Args>
void launch_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t, Args... args) {
    if (!host::check_launch(grid, block, shared_bytes)) return;
    host::run_grid(grid, block, shared_bytes, host::LaunchKind::Threads, [=]() { Kernel(args...); });
}

template <auto Kernel, typename... Args>
void launch_barrier_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t, Args... args) {
    if (!host::check_launch(grid, block, shared_bytes)) return;
    host::run_grid(grid, block, shared_bytes, host::LaunchKind::Barriers, [=]() { Kernel(args...); });
}

template <auto Kernel, typename... Args>
void launch_indexed_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t, Args... args) {
    if (!host::check_launch(grid, block, shared_bytes)) return;
    host::run_grid(grid, block, shared_bytes, host::LaunchKind::WholeBlocks, [=]() { Kernel(args...); });
}

// A barrier kernel whose shared memory is a tile of at most kTileSharedBytes: the host's tiles may
// exceed what a GPU block has, every other kernel keeps the GPU's limit here too.
template <auto Kernel, typename... Args>
void launch_tile_kernel(dim3 grid, dim3 block, size_t shared_bytes, cudaStream_t, Args... args) {
    if (!host::check_launch(grid, block, shared_bytes, kTileSharedBytes)) return;
    host::run_grid(grid, block, shared_bytes, host::LaunchKind::Barriers, [=]() { Kernel(args...); });
}

template <typename T>
inline T* dynamic_shared() {
    return reinterpret_cast<T*>(host::current_shared_buffer());
}

#endif

}  // namespace velloran
