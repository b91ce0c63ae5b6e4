// The parsed form of one gate, the gate ids and the kernel modes: what the runner, the launchers
// and the fusion planner share.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

namespace ketsim {

enum GateId : uint32_t {
    X = 0,
    Y = 1,
    Z = 2,
    H = 3,
    S = 4,
    SDAG = 5,
    SQRTX = 6,
    SQRTXDAG = 7,
    SQRTY = 8,
    SQRTYDAG = 9,
    SWAP = 10,
    RX = 11,
    RY = 12,
    RZ = 13,
    PHASE = 14,
    GLOBAL_PHASE = 15,
    U = 16,
    UNITARY = 17,
};

enum class KernelMode : int { AllState = 0, Pair = 1, PairAuto = 2, PairAutoFusion = 3 };

struct GateRecord {
    uint32_t id = 0;
    std::string name;
    std::vector<int64_t> controls;
    std::vector<int64_t> control_state;
    std::vector<int64_t> targets;
    std::vector<double> params;
    std::vector<std::complex<double>> matrix;
    int64_t matrix_dim = 0;
    bool has_matrix = false;
};

// Alias table lookup; throws std::invalid_argument "Unsupported CUDA gate id: <name>".
GateId gate_id_from_name(const std::string& name);

}  // namespace ketsim
