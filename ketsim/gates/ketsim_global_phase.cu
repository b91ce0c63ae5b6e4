// PLACEHOLDER: replaced by the real global phase unit.
#include <stdexcept>
#include "gate_launchers.h"
namespace ketsim {
template <typename T>
void cu_global_phase(uint64_t, CuComplex<T>*, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, T) {
    throw std::logic_error("cu_global_phase not built yet");
}
template void cu_global_phase<float>(uint64_t, CuComplex<float>*, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, float);
template void cu_global_phase<double>(uint64_t, CuComplex<double>*, const std::vector<int64_t>&, const std::vector<int64_t>&, cudaStream_t, double);
}
