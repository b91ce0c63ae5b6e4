// Control masks and qubit checks shared by every gate launcher.
#include "control_masks.h"

#include <stdexcept>
#include <string>

namespace ketsim {

ControlMasks build_control_masks(const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state) {
    if (controls.size() != control_state.size()) {
        throw std::invalid_argument("controls.size() != control_state.size()");
    }
    ControlMasks masks;
    for (size_t j = 0; j < controls.size(); ++j) {
        const uint64_t c = static_cast<uint64_t>(controls[j]);
        const uint64_t s = static_cast<uint64_t>(control_state[j]);
        if (c > 62) throw std::invalid_argument("control qubit index must be in [0, 62]");
        if (s > 1) throw std::invalid_argument("control_state must contain only 0/1");
        masks.control_mask |= uint64_t{1} << c;
        if (s == 1) masks.control_value |= uint64_t{1} << c;
    }
    return masks;
}

namespace {

// Targets (possibly none) and controls below n, no qubit named twice.
void check_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls) {
    uint64_t used = 0;
    for (const int64_t t : targets) {
        if (t < 0 || static_cast<uint64_t>(t) >= n) {
            throw std::invalid_argument("target qubit index " + std::to_string(t) + " is out of range for " +
                                        std::to_string(n) + " qubits");
        }
        const uint64_t bit = uint64_t{1} << t;
        if (used & bit) throw std::invalid_argument("duplicate target qubit index " + std::to_string(t));
        used |= bit;
    }
    const uint64_t target_bits = used;
    for (const int64_t c : controls) {
        if (c < 0 || static_cast<uint64_t>(c) >= n) {
            throw std::invalid_argument("control qubit index " + std::to_string(c) + " is out of range for " +
                                        std::to_string(n) + " qubits");
        }
        const uint64_t bit = uint64_t{1} << c;
        if (target_bits & bit) {
            throw std::invalid_argument("qubit " + std::to_string(c) + " is both a control and a target");
        }
        if (used & bit) throw std::invalid_argument("duplicate control qubit index " + std::to_string(c));
        used |= bit;
    }
}

}  // namespace

void validate_gate_qubits(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls) {
    if (targets.empty()) throw std::invalid_argument("gate requires a target qubit");
    check_qubits(n, targets, controls);
}

void validate_control_qubits(uint64_t n, const std::vector<int64_t>& controls) { check_qubits(n, {}, controls); }

void validate_gate_qubits(uint64_t n, int32_t target, const std::vector<int64_t>& controls) {
    // -1 is how the dispatcher passes an empty target list.
    if (target == -1) throw std::invalid_argument("gate requires a target qubit");
    validate_gate_qubits(n, std::vector<int64_t>{target}, controls);
}

}  // namespace ketsim
