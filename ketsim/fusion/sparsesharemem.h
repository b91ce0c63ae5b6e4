// The SparseShareMem executor: applies every gate record of a fused group to the state in one kernel
// launch, one shared-memory tile of the group's active qubits per block.
#pragma once

#include <cstdint>

#include "../../common/cu_complex.h"
#include "fusion.h"

namespace ketsim::fusion {

constexpr int32_t kSparseShareMemMaxQubits = 10;
constexpr unsigned int kSparseShareMemBlock = 128;
constexpr unsigned int kSparseShareMemMaxBlocks = 65535;

// Queues the group's kernel on `stream`: n qubits, the active qubits as a mask and their count k,
// `count` records starting at `records` (device memory). Launch errors are left pending for the
// caller's error check.
template <typename T>
void launch_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                           const DeviceMatrixGate<CuComplex<T>>* records, int32_t count, cudaStream_t stream);

}  // namespace ketsim::fusion
