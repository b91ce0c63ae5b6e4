// Gate fusion on the CPU: the planner that partitions a parsed chunk into groups over small sets of
// active qubits, and the lowering of each group to device records or one dense matrix. Nothing here
// touches the GPU or Python.
#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <optional>
#include <vector>

#include "../gate_record.h"

namespace ketsim::fusion {

using Complex = std::complex<double>;
using GateMatrix = std::array<Complex, 4>;  // row-major m00, m01, m10, m11

struct FusionOptions {
    int32_t sparsesharemem_qubits = 10;
    int32_t densemm_min_qubits = 1;
    int32_t densemm_max_qubits = 7;
    double densemm_gate_threshold_scale = 1.0;
    int32_t max_gates_per_group = 512;
    bool pad_sparsesharemem = true;
    bool fuse_swap = true;
};

enum GroupKind : int32_t { AutoPair = 0, SparseShareMem = 1, DenseMM = 2 };

// Operation codes of a fused gate record, read by the SparseShareMem kernel.
enum FusedOp : int32_t {
    kOpMatrix = 0,
    kOpX = 1,
    kOpY = 2,
    kOpH = 3,
    kOpDiagonal = 4,
    kOpRX = 5,
    kOpRY = 6,
    kOpSwap = 7,
};

// One gate of a fused group in the group's local qubit numbering (local qubit i is entry i of the
// group's active_qubits). C is std::complex<double> in a plan and CuComplex<T> on the device.
template <typename C>
struct DeviceMatrixGate {
    int32_t op = 0;
    int32_t target = 0;
    int32_t target2 = 0;
    int32_t control_mask = 0;
    int32_t control_value = 0;
    C matrix[4] = {};
};

struct FusionGroup {
    int32_t kind = AutoPair;
    std::vector<uint64_t> gate_indices;
    std::vector<int64_t> active_qubits;
    std::vector<DeviceMatrixGate<Complex>> device_gates;
    std::vector<Complex> dense_matrix;  // 2^k x 2^k, row-major; DenseMM only
    uint64_t sparse_offset = 0;
    uint64_t dense_offset = 0;
};

struct FusionPlan {
    std::vector<FusionGroup> groups;
    uint64_t sparse_gate_total = 0;
    uint64_t dense_element_total = 0;
};

// A planned chunk: immutable after planning, shared by its Python object and any execution.
struct PreparedFusionChunk {
    int64_t n = 0;
    std::vector<GateRecord> gates;
    FusionPlan plan;
    FusionOptions options;  // what the plan was made with, for a state that plans again on its own layout
};

// ---- planner ----

// The most qubits a DenseMM group may have: its 4^k matrix is built on the CPU for every group,
// 16 MiB at this size.
inline constexpr int64_t kMaxDenseMMQubits = 10;

// Refuses options that would let the planner build larger dense matrices than that: DenseMM groups
// can have min(densemm_max_qubits, sparsesharemem_qubits, n - 1) qubits.
void check_fusion_options(int64_t n, const FusionOptions& options);

// Partitions `gates` for an n-qubit state into groups in execution order, with offsets and totals.
FusionPlan plan_fusion(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options);

// Whether a gate may join a fused group: representable as a 2x2 matrix on one target (or a SWAP
// when fuse_swap is set) and passing every check the per-gate path makes, so that a gate that path
// would refuse runs alone and is refused there.
bool is_fusable(int64_t n, const GateRecord& gate, bool fuse_swap);

// ---- lowering ----

// Whether gate_matrix gives a matrix: one target, and the parameters or matrix its id needs.
bool has_gate_matrix(const GateRecord& gate);

// The 2x2 matrix of a single-target gate, or nothing when the gate cannot be fused as one.
std::optional<GateMatrix> gate_matrix(const GateRecord& gate);

// The nine DenseMM cost values for an n-qubit state and a k-qubit group, interpolated between the
// tabulated state sizes and with k clamped to the tabulated range.
std::array<double, 9> densemm_cost_row(int64_t n, int64_t k);

// The cost-rule score of a group (DenseMM when positive).
double densemm_score(int64_t n, const std::vector<GateRecord>& gates, const FusionGroup& group,
                     const FusionOptions& options);

// Sets the kind of a group whose gate_indices and active_qubits are filled, pads SparseShareMem
// active sets, and fills device_gates and (DenseMM) dense_matrix.
void lower_group(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options, FusionGroup& group);

// Number of elements of the dense matrix of a k-qubit group, 4^k; throws when it cannot be held.
uint64_t dense_matrix_elements(int64_t k);

}  // namespace ketsim::fusion
