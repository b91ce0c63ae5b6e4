// DistributedState: the rank-count check, the per-rank allocation, and the copies of a full state
// into and out of the ranks' slices (the latter undoing the qubit map).
#include "distributed_state.h"

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace ketsim::distributed {

uint64_t global_qubit_count(uint64_t n, int ranks) {
    if (ranks < 1 || (ranks & (ranks - 1)) != 0) {
        throw std::invalid_argument("DistributedState needs a power-of-two number of ranks, got " +
                                    std::to_string(ranks));
    }
    uint64_t g = 0;
    while ((1 << g) < ranks) ++g;
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (g > n - 1) {
        throw std::invalid_argument(std::to_string(ranks) + " ranks need at least " + std::to_string(g + 1) +
                                    " qubits (each rank keeps one local qubit or more), got n = " + std::to_string(n));
    }
    return g;
}

namespace {

uint64_t checked_global(uint64_t n, const std::shared_ptr<Communicator>& comm) {
    return global_qubit_count(n, comm->size());
}

}  // namespace

DistributedState::DistributedState(uint64_t n, Dtype dtype_, std::shared_ptr<Communicator> comm_, int32_t device_id)
    : num_qubits(n),
      global_qubits(checked_global(n, comm_)),
      local_qubits(n - global_qubits),
      rank(comm_->rank()),
      num_ranks(comm_->size()),
      comm(std::move(comm_)),
      local(n - global_qubits, dtype_, device_id),
      physical(n) {
    for (uint64_t q = 0; q < n; ++q) physical[q] = static_cast<int64_t>(q);
}

int64_t DistributedState::logical_at(int64_t position) const {
    for (uint64_t q = 0; q < num_qubits; ++q) {
        if (physical[q] == position) return static_cast<int64_t>(q);
    }
    throw std::logic_error("qubit map has no qubit at a position");
}

void DistributedState::set_zero_state() {
    for (uint64_t q = 0; q < num_qubits; ++q) physical[q] = static_cast<int64_t>(q);
    if (rank == 0) {
        local.set_zero_state();
    } else {
        velloran::check_cuda(cudaSetDevice(local.device_id));
        velloran::check_cuda(cudaMemset(local.device_ptr(), 0, local.byte_size()));
    }
}

void DistributedState::upload_slice(const void* full_state) {
    for (uint64_t q = 0; q < num_qubits; ++q) physical[q] = static_cast<int64_t>(q);
    const char* base = static_cast<const char*>(full_state) + static_cast<size_t>(rank) * local.byte_size();
    local.upload(base, local.num_state, false);
}

void DistributedState::gather_logical(void* out) {
    const size_t slice = local.byte_size();
    const size_t element = local.element_size();
    bool identity = true;
    for (uint64_t q = 0; q < num_qubits; ++q) identity = identity && physical[q] == static_cast<int64_t>(q);
    // Every rank reads its slice (and makes room for the others) before any waits in the gather.
    std::vector<char> mine;
    std::vector<char> gathered;
    std::exception_ptr error;
    try {
        mine.resize(slice);
        local.download(mine.data(), local.num_state, false);
        if (!identity) gathered.resize(slice * static_cast<size_t>(num_ranks));
    } catch (...) {
        error = std::current_exception();
    }
    if (comm->any(error != nullptr)) {
        if (error) std::rethrow_exception(error);
        throw std::runtime_error(kFailedElsewhere);
    }
    if (identity) {
        comm->allgather(mine.data(), slice, out);
        return;
    }
    comm->allgather(mine.data(), slice, gathered.data());
    // Logical index i holds the amplitude at the physical index whose bit physical[q] is bit q of i.
    // That index is the OR of a table entry for the low half of i's bits and one for the high half.
    const uint64_t total = uint64_t{1} << num_qubits;
    const uint64_t low_bits = num_qubits / 2;
    const uint64_t high_bits = num_qubits - low_bits;
    std::vector<uint64_t> low(uint64_t{1} << low_bits), high(uint64_t{1} << high_bits);
    for (uint64_t v = 0; v < low.size(); ++v) {
        for (uint64_t q = 0; q < low_bits; ++q) low[v] |= ((v >> q) & 1u) << physical[q];
    }
    for (uint64_t v = 0; v < high.size(); ++v) {
        for (uint64_t q = 0; q < high_bits; ++q) high[v] |= ((v >> q) & 1u) << physical[low_bits + q];
    }
    char* dst = static_cast<char*>(out);
    const uint64_t low_mask = low.size() - 1;
    for (uint64_t i = 0; i < total; ++i) {
        const uint64_t p = low[i & low_mask] | high[i >> low_bits];
        std::memcpy(dst + i * element, gathered.data() + p * element, element);
    }
}

}  // namespace ketsim::distributed
