// Conventions both modules share: device and dtype texts, the CUDA error message, and byte sizes
// computed from qubit counts without wrapping around 64 bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "backend.h"

namespace velloran {

enum class Dtype : int32_t { Complex64 = 0, Complex128 = 1 };

int32_t parse_device(const std::string& text);
Dtype parse_dtype(const std::string& text);
const char* dtype_name(Dtype dtype);
size_t element_size(Dtype dtype);

// Throws std::runtime_error "CUDA error: <runtime text>" for any status but success.
void check_cuda(cudaError_t status);

// After a launch: throws std::runtime_error "<prefix><runtime text>" if an error is pending.
void check_launch(const char* prefix);

// count * element_size in bytes, or the out-of-memory CUDA error when it does not fit in 64 bits
// (a wrapped size would allocate a tiny buffer that the first write overruns).
size_t checked_bytes(uint64_t count, size_t element_size);

}  // namespace velloran
