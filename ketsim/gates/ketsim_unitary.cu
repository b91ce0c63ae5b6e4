// PLACEHOLDER: replaced by the real UNITARY unit.
#include <stdexcept>
#include "gate_launchers.h"
namespace ketsim {
template <typename T>
void cu_unitary(uint64_t, CuComplex<T>*, const std::vector<int64_t>&, const std::vector<int64_t>&, const std::vector<int64_t>&, const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode) {
    throw std::logic_error("cu_unitary not built yet");
}
template void cu_unitary<float>(uint64_t, CuComplex<float>*, const std::vector<int64_t>&, const std::vector<int64_t>&, const std::vector<int64_t>&, const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode);
template void cu_unitary<double>(uint64_t, CuComplex<double>*, const std::vector<int64_t>&, const std::vector<int64_t>&, const std::vector<int64_t>&, const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode);
}
