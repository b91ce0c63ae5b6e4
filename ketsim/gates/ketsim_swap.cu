// PLACEHOLDER: replaced by the real SWAP unit.
#include <stdexcept>
#include "gate_launchers.h"
namespace ketsim {
template <typename T>
void cu_swap(uint64_t, CuComplex<T>*, int32_t, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, KernelMode) {
    throw std::logic_error("cu_swap not built yet");
}
template void cu_swap<float>(uint64_t, CuComplex<float>*, int32_t, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_swap<double>(uint64_t, CuComplex<double>*, int32_t, int32_t, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, KernelMode);
}
