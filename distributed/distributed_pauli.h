// Exact Pauli-string expectation values of a distributed state: flipped qubits are brought into
// local bits, each rank sums its slice with the single-device kernels, and one sum over the ranks
// gives every rank the values.
#pragma once

#include <vector>

#include "../ketsim/ketsim_pauli.h"
#include "distributed_state.h"

namespace ketsim::distributed {

// <psi|P_t|psi> for each term (masks over logical qubits), as exactly as stored. Refuses a term
// that flips more qubits than each rank holds locally (std::invalid_argument), on every rank before
// any exchange. May exchange qubits (the state's values never change). Collective.
std::vector<double> distributed_pauli_expectations(DistributedState& state, const std::vector<PauliTerm>& terms);

}  // namespace ketsim::distributed
