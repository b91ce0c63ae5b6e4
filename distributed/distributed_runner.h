// The engine of a distributed state: gate chunks run as local kernels between pairwise exchanges
// that bring global qubits into the local bits, and measurement from local probabilities summed
// over the ranks. Every entry point here is collective: each rank calls it with the same arguments,
// and a failure on any rank raises on every rank.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../ketsim/fusion/fusion.h"
#include "../ketsim/gate_record.h"
#include "../ketsim/ketsim_measure.h"
#include "distributed_state.h"

namespace ketsim::distributed {

// The checks one device makes on every gate (same order, same messages) against the logical qubit
// count, and that each gate's qubits that must be local fit in the local qubits. Throws
// std::invalid_argument. Not collective.
void validate_distributed_gates(const DistributedState& state, const std::vector<GateRecord>& gates);

// Runs validated gates in list order. Gates whose targets are local run the single-device kernels
// in `mode`; PairAutoFusion plans each run of local gates with `options` on the physical layout.
// Collective.
void run_distributed(DistributedState& state, const std::vector<GateRecord>& gates, KernelMode mode,
                     const fusion::FusionOptions& options);

// Brings logical `qubits` into local bits, exchanging where one is global; the local qubits traded
// away are those needed latest by `later` (lists of logical qubits, in order of need). `pending` is
// this rank's failure so far, agreed on before any exchange. Collective where an exchange is needed
// (the same on every rank, as the map is); then raises on every rank when any has failed.
void bring_local(DistributedState& state, const std::vector<int64_t>& qubits,
                 const std::vector<std::vector<int64_t>>& later, const std::exception_ptr& pending);

// Draws `shots` outcomes of logical `targets` exactly as a single device does with the same seed,
// and optionally collapses onto the last one; the result is the same on every rank. Collective.
SampleResult sample_distributed(DistributedState& state, const std::vector<int64_t>& targets,
                                const std::string& endian, uint64_t shots, uint64_t seed, bool collapse);

}  // namespace ketsim::distributed
