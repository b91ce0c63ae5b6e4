// Device and dtype parsing, the CUDA error convention and checked sizes (see cuda_check.h).
#include "cuda_check.h"

#include <stdexcept>

namespace velloran {

int32_t parse_device(const std::string& text) {
    if (text == "cuda" || text == "gpu") return 0;
    static const std::string prefix = "cuda:";
    if (text.compare(0, prefix.size(), prefix) != 0) {
        throw std::invalid_argument("device must be 'cuda', 'gpu', or 'cuda:<id>', got: " + text);
    }
    return std::stoi(text.substr(prefix.size()));
}

Dtype parse_dtype(const std::string& text) {
    if (text == "complex64") return Dtype::Complex64;
    if (text == "complex128") return Dtype::Complex128;
    throw std::invalid_argument("dtype must be 'complex64' or 'complex128', got: " + text);
}

const char* dtype_name(Dtype dtype) { return dtype == Dtype::Complex64 ? "complex64" : "complex128"; }

size_t element_size(Dtype dtype) { return dtype == Dtype::Complex64 ? 8 : 16; }

void check_cuda(cudaError_t status) {
    if (status == cudaSuccess) return;
    // The failing call also left its code in the thread's last-error state; it is reported here, so
    // clear it, or the next launch check would blame its own kernel for it.
    (void)cudaGetLastError();
    throw std::runtime_error(std::string("CUDA error: ") + cudaGetErrorString(status));
}

void check_launch(const char* prefix) {
    const cudaError_t status = cudaGetLastError();
    if (status != cudaSuccess) throw std::runtime_error(std::string(prefix) + cudaGetErrorString(status));
}

size_t checked_bytes(uint64_t count, size_t element_size) {
    if (element_size != 0 && count > SIZE_MAX / element_size) check_cuda(cudaErrorMemoryAllocation);
    return static_cast<size_t>(count * element_size);
}

}  // namespace velloran
