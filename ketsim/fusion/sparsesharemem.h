// The SparseShareMem executor: applies every gate record of a fused group to the state in one kernel
// launch, one shared-memory tile of the group's active qubits per block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../../common/cu_complex.h"
#include "fusion.h"

namespace ketsim::fusion {

constexpr int32_t kSparseShareMemMaxQubits = 10;
constexpr unsigned int kSparseShareMemBlock = 128;
constexpr unsigned int kSparseShareMemMaxBlocks = 65535;

// A record may only name local qubits of its tile, with control values among its controls: the
// kernel indexes shared memory with them. The plan check refuses any other; the kernel skips it.
template <typename C>
VELLORAN_HD bool record_fits_tile(const DeviceMatrixGate<C>& r, int64_t k) {
    const auto local = [k](int32_t l) { return l >= 0 && l < k; };
    if (!local(r.target)) return false;
    uint64_t targets = uint64_t{1} << r.target;
    if (r.op == kOpSwap) {
        if (!local(r.target2) || r.target2 == r.target) return false;
        targets |= uint64_t{1} << r.target2;
    }
    const uint64_t cm = static_cast<uint32_t>(r.control_mask);
    const uint64_t cv = static_cast<uint32_t>(r.control_value);
    return (cm >> k) == 0 && (cv & ~cm) == 0 && (cm & targets) == 0;
}

// Queues the group's kernel on `stream`: n qubits, the active qubits as a mask and their count k,
// `count` records starting at `records` (device memory). Launch errors are left pending for the
// caller's error check.
template <typename T>
void launch_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                           const DeviceMatrixGate<CuComplex<T>>* records, int32_t count, cudaStream_t stream);

}  // namespace ketsim::fusion
