// Density fusion: the planner that partitions an operation list into groups, and the device record
// of one operation inside a fused group (a tile of rho on at most five active qubits).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "../common/cu_complex.h"
#include "density_operation.h"

namespace velloran::rhosim {

// One operation of a fused group; positions and masks refer to the group's sorted active qubits.
template <typename T>
struct DeviceDensityGate {
    int32_t kind;           // 0 general 2 x 2 unitary, 1 diagonal, 2 X flip, 3 built-in channel
    int32_t target;         // position of the target among the active qubits
    int32_t control_mask;   // OR of 1 << position over the controls
    int32_t control_value;  // OR of 1 << position over the controls whose state is 1
    CuComplex<T> matrix[4];
    CuComplex<T> diag[2];
    int32_t flip;
    int32_t channel_kind;
    T parameter;
};
static_assert(sizeof(DeviceDensityGate<double>) == 128, "double record is 128 bytes");
static_assert(sizeof(DeviceDensityGate<float>) == 76, "float record is 76 bytes");
static_assert(offsetof(DeviceDensityGate<double>, matrix) == 16 && offsetof(DeviceDensityGate<double>, diag) == 80 &&
                  offsetof(DeviceDensityGate<double>, flip) == 112 &&
                  offsetof(DeviceDensityGate<double>, parameter) == 120,
              "double record has no padding");
static_assert(offsetof(DeviceDensityGate<float>, matrix) == 16 && offsetof(DeviceDensityGate<float>, diag) == 48 &&
                  offsetof(DeviceDensityGate<float>, flip) == 64 && offsetof(DeviceDensityGate<float>, parameter) == 72,
              "float record has no padding");

enum GateKind : int32_t { kGateUnitary = 0, kGateDiagonal = 1, kGateFlip = 2, kGateChannel = 3 };

// The float record of a double one: complex values and the parameter rounded, integers copied.
DeviceDensityGate<float> to_float_record(const DeviceDensityGate<double>& g);

struct DensityFusionSettings {
    int64_t max_active = 5;
    int64_t min_fused_ops = 4;
    int64_t window = 1024;
};

// Active qubits allowed per fused group for an n-qubit register: none up to four qubits, then n - 4,
// at most five.
int64_t max_active_qubits(uint64_t n);

enum GroupKind : int32_t { kGroupSingle = 0, kGroupOneQubit = 1, kGroupFused = 2, kGroupFew = 3 };

struct DensityGroup {
    int32_t kind = kGroupSingle;
    std::vector<int64_t> operations;  // ascending indices into the operation list
    std::vector<int64_t> active;      // sorted qubits touched by the group
    std::vector<DeviceDensityGate<double>> gates;  // fused groups only, one per operation
};

// Partitions `ops` (already validated) into groups in execution order. Operations that share a
// qubit keep their order; a fused group's operations act only on its active qubits.
std::vector<DensityGroup> plan_density_fusion(const std::vector<DensityOperation>& ops, uint64_t n,
                                              const DensityFusionSettings& settings);

}  // namespace velloran::rhosim
