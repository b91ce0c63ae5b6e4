// PLACEHOLDER: replaced by the real rz gate unit.
#include <stdexcept>
#include "gate_launchers.h"
namespace ketsim {
template <typename T>
void cu_rz(uint64_t, CuComplex<T>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, T, KernelMode) {
    throw std::logic_error("cu_rz not built yet");
}
template void cu_rz<float>(uint64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, float, KernelMode);
template void cu_rz<double>(uint64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, double, KernelMode);
}
