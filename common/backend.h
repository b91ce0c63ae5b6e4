// Chooses the execution backend for every source of both modules: the CUDA runtime in the cuda
// build, our host stand-in (kernels on the CPU cores) in the host build. Nothing else branches on it.
#pragma once

#if defined(VELLORAN_BACKEND_CUDA)
#include <cuda_runtime.h>
#define VELLORAN_HD __host__ __device__ __forceinline__
#define VELLORAN_DEVICE __device__ __forceinline__
#define VELLORAN_BACKEND_NAME "cuda"
#else
#include "host_runtime.h"
#define VELLORAN_HD inline
#define VELLORAN_DEVICE inline __attribute__((always_inline))
#define VELLORAN_BACKEND_NAME "host"
#endif
