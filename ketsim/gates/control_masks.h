// Control lists folded into bit masks, and the qubit checks every launcher makes before a kernel
// can see a gate: indices below n, no repeats, no qubit both control and target.
#pragma once

#include <cstdint>
#include <vector>

namespace ketsim {

struct ControlMasks {
    uint64_t control_mask = 0;
    uint64_t control_value = 0;
};

// Throws "controls.size() != control_state.size()", "control qubit index must be in [0, 62]" or
// "control_state must contain only 0/1"; the first offending entry decides.
ControlMasks build_control_masks(const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state);

// Checks targets (already known to be in [0, 62] or about to be range-checked here) and controls
// against the state's qubit count n. Messages name the offending index.
void validate_gate_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls);

// The single-target form; -1 stands for a missing target.
void validate_gate_qubits(uint64_t n, int32_t target, const std::vector<int64_t>& controls);

// For gates without a target (the global phase): controls below n and distinct.
void validate_control_qubits(uint64_t n, const std::vector<int64_t>& controls);

}  // namespace ketsim
