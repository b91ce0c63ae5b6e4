// Chooses the execution backend for every source of both modules: the CUDA runtime in the cuda
// build, our host stand-in (kernels on the CPU cores) in the host build. Nothing else branches on it.
#pragma once

#include <cstddef>

#if defined(VELLORAN_BACKEND_CUDA)
#include <cuda_runtime.h>
#define VELLORAN_HD __host__ __device__ __forceinline__
#define VELLORAN_DEVICE __device__ __forceinline__
#define VELLORAN_BACKEND_NAME "cuda"
namespace velloran {
// Whether device memory is ordinary host memory, readable by any host code (a message library, a
// file write) through a device pointer: not on a GPU.
inline constexpr bool kDeviceMemoryIsHostMemory = false;
// Bytes of amplitudes a shared-memory tile keeps per index of its group's active qubits, as extra
// local qubits where the state has them (0: one amplitude). On the GPU the threads of a warp
// already read consecutive amplitudes.
inline constexpr size_t kTileBytesPerActiveIndex = 0;
// The dynamic shared memory a tile kernel may ask for: what a block has without asking the device
// for more.
inline constexpr size_t kTileSharedBytes = 48 * 1024;
// The smallest piece of memory the backend moves: a memory sector. A per-gate kernel tests controls
// on qubits whose amplitudes lie closer together than this per index instead of leaving them out of
// its walk: every piece holds amplitudes of both control values, so it moves the same bytes.
inline constexpr size_t kMemoryUnitBytes = 32;
}  // namespace velloran
#else
#include "host_runtime.h"
#define VELLORAN_HD inline
#define VELLORAN_DEVICE inline __attribute__((always_inline))
#define VELLORAN_BACKEND_NAME "host"
namespace velloran {
// Device memory is allocated from host RAM in this build.
inline constexpr bool kDeviceMemoryIsHostMemory = true;
// One core reads a whole tile: 256 bytes per active index make the record loops vector-wide, let
// a group of high qubits gather its tile as stretches of four whole cache lines, and give a group
// of low qubits a tile long enough to repay each record's setup. (128 bytes within 128 KiB: fused
// layers and GHZ of 22 qubits 5-20% slower; 512 within 512 KiB measured alike.)
inline constexpr size_t kTileBytesPerActiveIndex = 256;
// A host tile is the worker's own buffer: 256 KiB holds ten active qubits with their extra ones and
// stays in a core's second-level cache.
inline constexpr size_t kTileSharedBytes = 256 * 1024;
// Two cache lines, which the core fetches as a pair, and two vector registers of the widest
// instruction set the kernels are compiled for: a walk that left out a control this close to qubit
// 0 would walk runs shorter than a vector, and run scalar (a controlled X in complex64 with its
// control on qubit 1 took five times as long as with it on qubit 16), or skip every other line of
// a pair and move no fewer bytes (X on qubit 1 controlled by qubit 2, complex128, 24 qubits: 11 ms
// walked around the control against 8.3 with it tested per pair, a whole pass).
inline constexpr size_t kMemoryUnitBytes = 128;
}  // namespace velloran
#endif

// Unrolls the next loop, whose trip count is a compile-time constant, completely in both builds:
// the host compiler's own limit would leave the longer ones rolled.
#if defined(VELLORAN_BACKEND_CUDA)
#define VELLORAN_UNROLL _Pragma("unroll")
#else
#define VELLORAN_UNROLL _Pragma("GCC unroll 64")
#endif

// Marks the host kernels and host loops whose inner loops vectorise: on x86-64 they are compiled for
// AVX-512 and for AVX2 with FMA beside the baseline, and the loader picks the copy the CPU at hand
// runs. Everything they call is inlined into them (flatten), so the helpers are compiled for the
// same instruction set. Sanitizer builds compile the plain copy only: the copies share their index
// arithmetic, and instrumenting three flattened copies of each made that build's gate sources take
// 89 s each against 50.
#if !defined(VELLORAN_BACKEND_CUDA) && defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(VELLORAN_SANITIZE)
#define VELLORAN_VECTOR_KERNEL \
    __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default"), flatten))
#else
#define VELLORAN_VECTOR_KERNEL
#endif
