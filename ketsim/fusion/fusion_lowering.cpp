// Lowering of planned groups: the 2x2 gate matrices, the tabulated DenseMM cost rule that picks a
// group's kind, padding of SparseShareMem active sets, the per-gate records in local numbering and
// the dense product matrix of DenseMM groups. All in double precision, on the CPU.
#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "fusion.h"

namespace ketsim::fusion {

namespace {

// One unit in the last place below the 1/sqrt(2) of the per-gate H kernels; the fused H records
// carry this value and the kernel scales by m00.
constexpr double kInvSqrt2 = 0.7071067811865475;

constexpr int kCostBreakpoints[6] = {14, 16, 18, 20, 22, 24};

// DenseMM cost table: [state-size breakpoint][k' - 1][V0..V8]. V0 is a per-gate term, V1..V7 are
// weights per gate type (X, Y, H, diagonal, RX/RY, general matrix, SWAP) and V8 the threshold a
// group's summed cost must exceed for DenseMM to beat SparseShareMem. The n = 14 rows and the k' = 4
// row of every breakpoint are measured. The other rows are provisional: they were set by hand to
// follow the measured rows (weights V3..V5 between 0.28 and 0.48; V0 0.11 to 0.25 at n = 14 and 16,
// 0.02 to 0.08 from n = 18; V8 lowest at k' = 4, 50 to 70 at k' = 1 and 38 to 48 at k' = 7 from
// n = 16) until benchmarks/calibrate_densemm.py has been run on the target GPUs, which prints
// measured rows in this form.
constexpr double kDenseMMCost[6][7][9] = {
    {   // n = 14 (measured)
        {0.2267309915, 0, 0, 0.4663068114, 0.4305625079, 0.4126543972, 1, 0, 19.2041906135},
        {0.1936448856, 0, 0, 0.4348312641, 0.363032671, 0.3665311539, 1, 0, 8.5737386278},
        {0.1431459377, 0, 0, 0.2813128378, 0.4272427678, 0.3937908037, 1, 0, 6.8351134242},
        {0.1294603588, 0, 0, 0.4418767094, 0.4124389028, 0.4355293568, 1, 0, 6.5972433902},
        {0.1237039937, 0, 0, 0.4583208321, 0.460926279, 0.3607089269, 1, 0, 9.057600289},
        {0.1134037947, 0, 0, 0.4200237677, 0.4096829191, 0.4169479613, 1, 0, 13.786782822},
        {0.1439097654, 0, 0, 0.423664967, 0.4280879442, 0.4036212946, 1, 0, 37.7536502156},
    },
    {   // n = 16 (k' = 4 measured, others provisional)
        {0.2104, 0, 0, 0.4471, 0.4183, 0.4052, 1, 0, 52.4},
        {0.1812, 0, 0, 0.4192, 0.3711, 0.3804, 1, 0, 14.9},
        {0.1385, 0, 0, 0.3527, 0.4015, 0.3968, 1, 0, 5.62},
        {0.1237890392, 0, 0, 0.396066647, 0.3837057141, 0.4006176829, 1, 0, 4.6912812249},
        {0.1179, 0, 0, 0.4236, 0.4102, 0.3815, 1, 0, 7.31},
        {0.1121, 0, 0, 0.4087, 0.3994, 0.4073, 1, 0, 15.2},
        {0.1366, 0, 0, 0.4152, 0.4121, 0.3986, 1, 0, 38.9},
    },
    {   // n = 18 (k' = 4 measured, others provisional)
        {0.0712, 0, 0, 0.4318, 0.3924, 0.4236, 1, 0, 57.8},
        {0.0534, 0, 0, 0.4065, 0.3518, 0.4127, 1, 0, 15.6},
        {0.0318, 0, 0, 0.3642, 0.3381, 0.4194, 1, 0, 5.05},
        {0.0273214964, 0, 0, 0.3805148485, 0.3193008547, 0.4317869357, 1, 0, 4.1132001103},
        {0.0291, 0, 0, 0.3957, 0.3462, 0.4088, 1, 0, 6.72},
        {0.0347, 0, 0, 0.3916, 0.3645, 0.4011, 1, 0, 14.6},
        {0.0488, 0, 0, 0.4023, 0.3797, 0.3954, 1, 0, 40.7},
    },
    {   // n = 20 (k' = 4 measured, others provisional)
        {0.0764, 0, 0, 0.4526, 0.4117, 0.4083, 1, 0, 63.1},
        {0.0571, 0, 0, 0.4398, 0.3876, 0.3925, 1, 0, 17.2},
        {0.0402, 0, 0, 0.4213, 0.3955, 0.4018, 1, 0, 6.41},
        {0.035598456, 0, 0, 0.4557457366, 0.4002886409, 0.3975650198, 1, 0, 5.361101005},
        {0.0338, 0, 0, 0.4402, 0.4061, 0.3893, 1, 0, 8.05},
        {0.0385, 0, 0, 0.4289, 0.4013, 0.3962, 1, 0, 16.9},
        {0.0526, 0, 0, 0.4347, 0.4098, 0.3917, 1, 0, 43.8},
    },
    {   // n = 22 (k' = 4 measured, others provisional)
        {0.0783, 0, 0, 0.4102, 0.3986, 0.3991, 1, 0, 67.5},
        {0.0598, 0, 0, 0.3948, 0.3872, 0.3914, 1, 0, 18.4},
        {0.0415, 0, 0, 0.3815, 0.3826, 0.3868, 1, 0, 7.12},
        {0.0360903995, 0, 0, 0.3751837202, 0.3803791644, 0.3883155239, 1, 0, 6.1494884912},
        {0.0342, 0, 0, 0.3874, 0.3911, 0.3842, 1, 0, 8.86},
        {0.0391, 0, 0, 0.3926, 0.3889, 0.3905, 1, 0, 18.1},
        {0.0547, 0, 0, 0.4013, 0.3952, 0.3937, 1, 0, 46.2},
    },
    {   // n = 24 (k' = 4 measured, others provisional)
        {0.0741, 0, 0, 0.4235, 0.3812, 0.3897, 1, 0, 69.2},
        {0.0552, 0, 0, 0.4117, 0.3694, 0.3823, 1, 0, 18.9},
        {0.0327, 0, 0, 0.3986, 0.3619, 0.3776, 1, 0, 6.58},
        {0.0271617336, 0, 0, 0.3967623538, 0.3566315969, 0.3739319939, 1, 0, 5.5504598856},
        {0.0296, 0, 0, 0.4052, 0.3688, 0.3751, 1, 0, 8.31},
        {0.0352, 0, 0, 0.4091, 0.3725, 0.3804, 1, 0, 17.6},
        {0.0503, 0, 0, 0.4148, 0.3783, 0.3829, 1, 0, 47.5},
    },
};

// Index of the cost-table weight of a gate id.
int cost_weight_index(uint32_t id) {
    switch (id) {
        case X: return 1;
        case Y: return 2;
        case H: return 3;
        case Z:
        case S:
        case SDAG:
        case RZ:
        case PHASE: return 4;
        case RX:
        case RY: return 5;
        case SWAP: return 7;
        default: return 6;
    }
}

int32_t fused_op(uint32_t id) {
    switch (id) {
        case X: return kOpX;
        case Y: return kOpY;
        case H: return kOpH;
        case Z:
        case S:
        case SDAG:
        case RZ:
        case PHASE: return kOpDiagonal;
        case RX: return kOpRX;
        case RY: return kOpRY;
        case SWAP: return kOpSwap;
        default: return kOpMatrix;
    }
}

// Complex product spelled out: std::complex's operator* takes the slow path that handles
// infinities, and the dense product does millions of these.
inline Complex cmul(Complex a, Complex b) {
    return Complex(a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real());
}

// Local index of a qubit in the sorted active set, -1 when absent.
int32_t local_index(const std::vector<int64_t>& active, int64_t q) {
    const auto it = std::lower_bound(active.begin(), active.end(), q);
    return (it != active.end() && *it == q) ? static_cast<int32_t>(it - active.begin()) : -1;
}

// 2^l as the records' 32-bit mask; local indices past bit 31 only occur in groups too large for any
// executor, which refuses them before reading a record.
int32_t local_bit(int32_t l) { return l >= 0 && l < 32 ? static_cast<int32_t>(uint32_t{1} << l) : 0; }

DeviceMatrixGate<Complex> build_record(int64_t n, const GateRecord& gate, const std::vector<int64_t>& active) {
    const bool swap = gate.id == SWAP;
    const char* refusal = swap ? "unsupported fused SWAP gate" : "unsupported SparseShareMem gate";
    // Only gates the planner accepts as fusable may become records: a gate the per-gate path would
    // refuse must never be applied silently here.
    if (!is_fusable(n, gate, true)) throw std::invalid_argument(refusal);
    DeviceMatrixGate<Complex> record;
    record.op = fused_op(gate.id);
    record.target = local_index(active, gate.targets[0]);
    if (swap) {
        record.target2 = local_index(active, gate.targets[1]);
        record.matrix[0] = record.matrix[3] = Complex(1.0, 0.0);
        if (record.target2 < 0) throw std::invalid_argument(refusal);
    } else {
        const GateMatrix m = *gate_matrix(gate);
        std::copy(m.begin(), m.end(), record.matrix);
    }
    if (record.target < 0) throw std::invalid_argument(refusal);
    for (size_t i = 0; i < gate.controls.size(); ++i) {
        const int32_t l = local_index(active, gate.controls[i]);
        if (l < 0) throw std::invalid_argument(refusal);
        record.control_mask |= local_bit(l);
        if (gate.control_state[i] == 1) record.control_value |= local_bit(l);
    }
    return record;
}

void pad_active_qubits(int64_t n, int32_t qubits, std::vector<int64_t>& active) {
    uint64_t present = 0;
    for (const int64_t q : active) present |= uint64_t{1} << q;
    for (int64_t q = 0; q < n; ++q) {
        if (static_cast<int64_t>(active.size()) >= qubits) break;
        if (!(present & (uint64_t{1} << q))) active.push_back(q);
    }
    std::sort(active.begin(), active.end());
}

// M = G_last ... G_first on the group's local index space, applying each record to the rows.
std::vector<Complex> dense_product(const std::vector<DeviceMatrixGate<Complex>>& records, int64_t k) {
    const uint64_t dim = uint64_t{1} << k;
    std::vector<Complex> m(dense_matrix_elements(k), Complex(0.0, 0.0));
    for (uint64_t i = 0; i < dim; ++i) m[i * dim + i] = Complex(1.0, 0.0);
    for (const auto& r : records) {
        const uint64_t b = uint64_t{1} << r.target;
        const uint64_t cm = static_cast<uint32_t>(r.control_mask);
        const uint64_t cv = static_cast<uint32_t>(r.control_value);
        if (r.op == kOpSwap) {
            const uint64_t b2 = uint64_t{1} << r.target2;
            for (uint64_t j = 0; j < dim; ++j) {
                if ((j & b) || !(j & b2) || (j & cm) != cv) continue;
                std::swap_ranges(m.begin() + j * dim, m.begin() + (j + 1) * dim, m.begin() + ((j & ~b2) | b) * dim);
            }
            continue;
        }
        const Complex m00 = r.matrix[0], m01 = r.matrix[1], m10 = r.matrix[2], m11 = r.matrix[3];
        for (uint64_t j = 0; j < dim; ++j) {
            if ((j & b) || (j & cm) != cv) continue;
            Complex* row0 = m.data() + j * dim;
            Complex* row1 = m.data() + (j | b) * dim;
            for (uint64_t c = 0; c < dim; ++c) {
                const Complex a = row0[c], v = row1[c];
                row0[c] = cmul(m00, a) + cmul(m01, v);
                row1[c] = cmul(m10, a) + cmul(m11, v);
            }
        }
    }
    return m;
}

}  // namespace

bool has_gate_matrix(const GateRecord& gate) {
    if (gate.targets.size() != 1 || gate.id > UNITARY) return false;
    switch (gate.id) {
        case SWAP:
        case GLOBAL_PHASE: return false;
        case RX:
        case RY:
        case RZ:
        case PHASE: return gate.params.size() == 1;
        case U: return gate.params.size() == 3;
        case UNITARY: return gate.matrix_dim == 2 && gate.matrix.size() == 4;
        default: return true;
    }
}

std::optional<GateMatrix> gate_matrix(const GateRecord& gate) {
    if (!has_gate_matrix(gate)) return std::nullopt;
    const Complex zero(0.0, 0.0), one(1.0, 0.0);
    const auto re = [](double x) { return Complex(x, 0.0); };
    const auto im = [](double y) { return Complex(0.0, y); };
    switch (gate.id) {
        case X: return GateMatrix{zero, one, one, zero};
        case Y: return GateMatrix{zero, im(-1.0), im(1.0), zero};
        case Z: return GateMatrix{one, zero, zero, re(-1.0)};
        case H: return GateMatrix{re(kInvSqrt2), re(kInvSqrt2), re(kInvSqrt2), re(-kInvSqrt2)};
        case S: return GateMatrix{one, zero, zero, im(1.0)};
        case SDAG: return GateMatrix{one, zero, zero, im(-1.0)};
        case SQRTX: return GateMatrix{Complex(0.5, 0.5), Complex(0.5, -0.5), Complex(0.5, -0.5), Complex(0.5, 0.5)};
        case SQRTXDAG:
            return GateMatrix{Complex(0.5, -0.5), Complex(0.5, 0.5), Complex(0.5, 0.5), Complex(0.5, -0.5)};
        case SQRTY: return GateMatrix{Complex(0.5, 0.5), Complex(-0.5, -0.5), Complex(0.5, 0.5), Complex(0.5, 0.5)};
        case SQRTYDAG:
            return GateMatrix{Complex(0.5, -0.5), Complex(0.5, -0.5), Complex(-0.5, 0.5), Complex(0.5, -0.5)};
        case RX: {
            const double c = std::cos(gate.params[0] / 2), s = std::sin(gate.params[0] / 2);
            return GateMatrix{re(c), im(-s), im(-s), re(c)};
        }
        case RY: {
            const double c = std::cos(gate.params[0] / 2), s = std::sin(gate.params[0] / 2);
            return GateMatrix{re(c), re(-s), re(s), re(c)};
        }
        case RZ: {
            const double c = std::cos(gate.params[0] / 2), s = std::sin(gate.params[0] / 2);
            return GateMatrix{Complex(c, -s), zero, zero, Complex(c, s)};
        }
        case PHASE: return GateMatrix{one, zero, zero, Complex(std::cos(gate.params[0]), std::sin(gate.params[0]))};
        case U: {
            const double theta = gate.params[0], phi = gate.params[1], lambda = gate.params[2];
            const double c = std::cos(theta / 2), s = std::sin(theta / 2);
            return GateMatrix{re(c), Complex(-std::cos(lambda) * s, -std::sin(lambda) * s),
                              Complex(std::cos(phi) * s, std::sin(phi) * s),
                              Complex(std::cos(phi + lambda) * c, std::sin(phi + lambda) * c)};
        }
        default:  // UNITARY with one target
            return GateMatrix{gate.matrix[0], gate.matrix[1], gate.matrix[2], gate.matrix[3]};
    }
}

std::array<double, 9> densemm_cost_row(int64_t n, int64_t k) {
    const int kc = static_cast<int>(std::clamp<int64_t>(k, 1, 7)) - 1;
    const auto row = [kc](int b) {
        std::array<double, 9> v;
        std::copy(std::begin(kDenseMMCost[b][kc]), std::end(kDenseMMCost[b][kc]), v.begin());
        return v;
    };
    if (n <= kCostBreakpoints[0]) return row(0);
    if (n >= kCostBreakpoints[5]) return row(5);
    int hi = 1;
    while (kCostBreakpoints[hi] < n) ++hi;
    const double t = static_cast<double>(n - kCostBreakpoints[hi - 1]) /
                     static_cast<double>(kCostBreakpoints[hi] - kCostBreakpoints[hi - 1]);
    const std::array<double, 9> lo = row(hi - 1), up = row(hi);
    std::array<double, 9> v;
    for (int j = 0; j < 9; ++j) v[j] = lo[j] + (up[j] - lo[j]) * t;
    return v;
}

double densemm_score(int64_t n, const std::vector<GateRecord>& gates, const FusionGroup& group,
                     const FusionOptions& options) {
    const std::array<double, 9> v = densemm_cost_row(n, static_cast<int64_t>(group.active_qubits.size()));
    double score = -options.densemm_gate_threshold_scale * v[8];
    for (const uint64_t index : group.gate_indices) {
        const GateRecord& gate = gates[index];
        const int controls = static_cast<int>(std::min<size_t>(gate.controls.size(), 1024));
        score = score + v[0] + std::ldexp(v[cost_weight_index(gate.id)], -controls);
    }
    return score;
}

uint64_t dense_matrix_elements(int64_t k) {
    // 4^k complex doubles must be addressable in bytes: k <= 29.
    if (k < 0 || k > 29) throw std::invalid_argument("DenseMM group matrix is too large");
    return uint64_t{1} << (2 * k);
}

void lower_group(int64_t n, const std::vector<GateRecord>& gates, const FusionOptions& options, FusionGroup& group) {
    group.device_gates.clear();
    group.dense_matrix.clear();
    if (group.gate_indices.empty()) throw std::invalid_argument("fused group has no gates");
    for (const uint64_t index : group.gate_indices) {
        if (index >= gates.size()) throw std::invalid_argument("fused group gate index out of range");
    }
    if (group.gate_indices.size() == 1) {
        group.kind = AutoPair;
        return;
    }
    for (size_t i = 0; i < group.active_qubits.size(); ++i) {
        const int64_t q = group.active_qubits[i];
        if (q < 0 || q >= n || (i > 0 && q <= group.active_qubits[i - 1])) {
            throw std::invalid_argument("fused group active qubits must be ascending and in [0, n)");
        }
    }
    const int64_t k = static_cast<int64_t>(group.active_qubits.size());
    group.kind = SparseShareMem;
    if (options.densemm_min_qubits <= k && k <= options.densemm_max_qubits && k < n &&
        densemm_score(n, gates, group, options) > 0) {
        group.kind = DenseMM;
    }
    if (group.kind == SparseShareMem && options.pad_sparsesharemem) {
        pad_active_qubits(n, options.sparsesharemem_qubits, group.active_qubits);
    }
    group.device_gates.reserve(group.gate_indices.size());
    for (const uint64_t index : group.gate_indices) {
        group.device_gates.push_back(build_record(n, gates[index], group.active_qubits));
    }
    if (group.kind == DenseMM) group.dense_matrix = dense_product(group.device_gates, k);
}

}  // namespace ketsim::fusion
