// PLACEHOLDER: replaced by the real U gate unit.
#include <stdexcept>
#include "gate_launchers.h"
namespace ketsim {
template <typename T>
void cu_u(uint64_t, CuComplex<T>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, T, T, T, KernelMode) {
    throw std::logic_error("cu_u not built yet");
}
template void cu_u<float>(uint64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, float, float, float, KernelMode);
template void cu_u<double>(uint64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, double, double, double, KernelMode);
}
