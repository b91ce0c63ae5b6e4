// Exact expectation values of Pauli strings on a device state vector, read in place: the terms are
// grouped by the qubits they flip and each group is summed in one read-only pass over the state.
#pragma once

#include <cstdint>
#include <vector>

#include "../common/cu_complex.h"

namespace ketsim {

// One Pauli string as two qubit masks (bit q for qubit q): `flip` holds its X and Y factors,
// `phase` its Z and Y factors, so a Y is a qubit in both.
struct PauliTerm {
    uint64_t flip = 0;
    uint64_t phase = 0;
};

// Terms one pass over the state sums at most; a group with more shares its flip mask over several.
constexpr int kPauliTermsPerPass = 16;
constexpr unsigned int kPauliBlock = 256;
// Blocks of one pass at most: each block sums a contiguous chunk of the pass's amplitude pairs, and
// its partial sums (one per term) are added up on the host in block order.
constexpr unsigned int kPauliMaxBlocks = 1024;

// <psi|P_t|psi> for every term, in order, for the n-qubit state of num_state amplitudes on device
// `device_id`, exactly as stored (no normalisation). The state is only read. Per-block partial sums
// are taken in double and added in a fixed order, so a call repeated on the same state gives the
// same bits. Checks n, the state size and that every mask names qubits below n
// (std::invalid_argument); runs without the interpreter lock, polling for interrupts between passes.
template <typename T>
std::vector<double> pauli_expectations(int64_t n, const CuComplex<T>* state, uint64_t num_state,
                                       const std::vector<PauliTerm>& terms, int32_t device_id);

}  // namespace ketsim
