// Chooses cuBLAS (cuda build) or our CPU-BLAS stand-in for it (host build).
#pragma once

#include "backend.h"

#if defined(VELLORAN_BACKEND_CUDA)
#include <cublas_v2.h>
#else
#include "host_cublas.h"
#endif
