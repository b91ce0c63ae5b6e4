// A state vector of n qubits split over 2^g processes by its top g index bits: each rank holds the
// 2^(n-g) amplitudes whose top bits spell its rank, in a device state of its own, together with the
// map from the caller's (logical) qubits to the bit positions (physical) where they now live.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "../ketsim/ketsim_device_state.h"
#include "communicator.h"

namespace ketsim::distributed {

// Throws std::invalid_argument unless `ranks` is a power of two 2^g with g <= n - 1; returns g.
uint64_t global_qubit_count(uint64_t n, int ranks);

class DistributedState {
public:
    // Collective only in that every rank constructs its own part; |0...0> is set by set_zero_state.
    DistributedState(uint64_t n, Dtype dtype, std::shared_ptr<Communicator> comm, int32_t device_id);

    void set_zero_state();
    // Uploads this rank's slice of a full state given in logical order; the map becomes the identity.
    void upload_slice(const void* full_state);
    // The full state in logical order into `out` (2^n elements), on every rank. Collective.
    void gather_logical(void* out);

    uint64_t num_qubits = 0;
    uint64_t global_qubits = 0;
    uint64_t local_qubits = 0;
    int rank = 0;
    int num_ranks = 1;
    std::shared_ptr<Communicator> comm;
    DeviceState local;
    // physical[q]: the bit position of logical qubit q; positions from local_qubits up are global,
    // position local_qubits + j being bit j of the rank.
    std::vector<int64_t> physical;
    // Pairwise exchanges made so far and the bytes this rank sent in them.
    uint64_t exchanges = 0;
    uint64_t exchanged_bytes = 0;

    Dtype dtype() const { return local.dtype; }
    bool is_global(int64_t position) const { return static_cast<uint64_t>(position) >= local_qubits; }
    // This rank's bit at a global position.
    int rank_bit(int64_t position) const {
        return (rank >> (static_cast<uint64_t>(position) - local_qubits)) & 1;
    }
    // The logical qubit living at a physical position.
    int64_t logical_at(int64_t position) const;
};

}  // namespace ketsim::distributed
