// Validation and classification of density operations: the alias table, the cheap forms (skipped
// global phase, diagonal gates, X and SWAP permutations, built-in channels), the named-matrix
// builder and the matrix pool. Every check runs before any kernel is launched.
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <unordered_map>

#include "../common/device_math.h"
#include "density_operation.h"

namespace velloran::rhosim {

namespace {

using density::ChannelKind;

[[noreturn]] void fail(const std::string& message) { throw std::runtime_error(message); }

// Finite in double and still finite once rounded to T: a value that overflows float would turn a
// complex64 run into infinities and NaNs.
template <typename T>
bool finite_in(double value) {
    return std::fabs(value) <= std::numeric_limits<double>::max() &&
           std::fabs(static_cast<T>(value)) <= std::numeric_limits<T>::max();
}

template <typename T>
bool all_finite_in(const std::vector<std::complex<double>>& values) {
    for (const std::complex<double>& v : values) {
        if (!finite_in<T>(v.real()) || !finite_in<T>(v.imag())) return false;
    }
    return true;
}

void check_parameter_count(const DensityOperation& op, size_t count) {
    if (op.parameters.size() != count) fail("invalid parameter count for density operation '" + op.name + "'");
}

// The parameter check of named rotations: the count, then every value finite.
template <typename T>
void check_parameters(const DensityOperation& op, size_t count) {
    check_parameter_count(op, count);
    for (const double p : op.parameters) {
        if (!finite_in<T>(p)) fail("density operation parameters must be finite");
    }
}

template <typename T>
T parameter(const DensityOperation& op, size_t j) {
    return static_cast<T>(op.parameters[j]);
}

template <typename T>
std::complex<T> expi(T angle) {
    return std::exp(std::complex<T>(T(0) * angle, angle));
}

template <typename T>
struct Constants {
    static constexpr T c = static_cast<T>(0.7071067811865475);
    static constexpr T t_re = static_cast<T>(0.7071067811865476);
    static constexpr T half = static_cast<T>(0.5);
};

template <typename T>
using Matrix = std::vector<std::complex<T>>;

// The fixed one-qubit gates, row-major.
template <typename T>
bool fixed_matrix(const std::string& name, Matrix<T>& m) {
    using C = std::complex<T>;
    const T c = Constants<T>::c;
    const T h = Constants<T>::half;
    const C one(1, 0), zero(0, 0), i(0, 1);
    const C p(h, h), q(h, -h);  // (1 + i) / 2 and (1 - i) / 2
    static const std::unordered_map<std::string, int> index = {
        {"x", 0},     {"y", 1},         {"z", 2},     {"-z", 3},        {"h", 4},   {"s", 5},
        {"s_dag", 6}, {"t", 7},         {"t_dag", 8}, {"sqrtx", 9},     {"sqrtx_dag", 10},
        {"sqrty", 11}, {"sqrty_dag", 12}, {"x2p", 13}, {"x2m", 14},      {"y2p", 15}, {"y2m", 16},
    };
    const auto it = index.find(name);
    if (it == index.end()) return false;
    const C tp(Constants<T>::t_re, c), tm(Constants<T>::t_re, -c);
    switch (it->second) {
        case 0: m = {zero, one, one, zero}; break;
        case 1: m = {zero, -i, i, zero}; break;
        case 2: m = {one, zero, zero, -one}; break;
        case 3: m = {-one, zero, zero, one}; break;
        case 4: m = {C(c, 0), C(c, 0), C(c, 0), C(-c, 0)}; break;
        case 5: m = {one, zero, zero, i}; break;
        case 6: m = {one, zero, zero, -i}; break;
        case 7: m = {one, zero, zero, tp}; break;
        case 8: m = {one, zero, zero, tm}; break;
        case 9: m = {p, q, q, p}; break;
        case 10: m = {q, p, p, q}; break;
        case 11: m = {p, -p, p, p}; break;
        case 12: m = {q, q, -q, q}; break;
        case 13: m = {C(c, 0), C(0, -c), C(0, -c), C(c, 0)}; break;
        case 14: m = {C(c, 0), C(0, c), C(0, c), C(c, 0)}; break;
        case 15: m = {C(c, 0), C(-c, 0), C(c, 0), C(c, 0)}; break;
        default: m = {C(c, 0), C(c, 0), C(-c, 0), C(c, 0)}; break;
    }
    return true;
}

template <typename T>
Matrix<T> rz_matrix(T theta) {
    const T half = theta * Constants<T>::half;
    return {expi(-half), std::complex<T>(0, 0), std::complex<T>(0, 0), expi(half)};
}

template <typename T>
Matrix<T> rx_matrix(T theta) {
    T s, c;
    device_sincos(theta * Constants<T>::half, &s, &c);
    return {std::complex<T>(c, 0), std::complex<T>(0, -s), std::complex<T>(0, -s), std::complex<T>(c, 0)};
}

template <typename T>
Matrix<T> multiply2(const Matrix<T>& a, const Matrix<T>& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

// The rotations and phases: the parameter check, then the matrix.
template <typename T>
bool rotation_matrix(const DensityOperation& op, const std::string& name, Matrix<T>& m) {
    using C = std::complex<T>;
    const C zero(0, 0), one(1, 0);
    if (name == "rx") {
        check_parameters<T>(op, 1);
        m = rx_matrix(parameter<T>(op, 0));
    } else if (name == "ry") {
        check_parameters<T>(op, 1);
        T s, c;
        device_sincos(parameter<T>(op, 0) * Constants<T>::half, &s, &c);
        m = {C(c, 0), C(-s, 0), C(s, 0), C(c, 0)};
    } else if (name == "rz") {
        check_parameters<T>(op, 1);
        m = rz_matrix(parameter<T>(op, 0));
    } else if (name == "p") {
        check_parameters<T>(op, 1);
        m = {one, zero, zero, expi(parameter<T>(op, 0))};
    } else if (name == "gp") {
        check_parameters<T>(op, 1);
        const C phase = expi(parameter<T>(op, 0));
        m = {phase, zero, zero, phase};
    } else if (name == "rxy") {
        check_parameters<T>(op, 2);
        const T theta = parameter<T>(op, 0);
        m = multiply2(multiply2(rz_matrix(theta), rx_matrix(parameter<T>(op, 1))), rz_matrix(-theta));
    } else if (name == "u") {
        check_parameters<T>(op, 3);
        const T phi = parameter<T>(op, 1);
        const T lambda = parameter<T>(op, 2);
        T s, c;
        device_sincos(parameter<T>(op, 0) * Constants<T>::half, &s, &c);
        m = {C(c, 0), -expi(lambda) * s, expi(phi) * s, expi(phi + lambda) * c};
    } else {
        return false;
    }
    return true;
}

// Distinct qubits below n, as a bit mask; false on the first bad one.
bool collect_qubits(const std::vector<int64_t>& qubits, uint64_t n, uint64_t& mask) {
    mask = 0;
    for (const int64_t q : qubits) {
        if (q < 0 || static_cast<uint64_t>(q) >= n) return false;
        const uint64_t bit = uint64_t{1} << q;
        if (mask & bit) return false;
        mask |= bit;
    }
    return true;
}

template <typename T>
void append_to_pool(const std::vector<std::complex<double>>& values, std::vector<CuComplex<T>>& pool) {
    for (const std::complex<double>& v : values) {
        pool.push_back(CuComplex<T>{static_cast<T>(v.real()), static_cast<T>(v.imag())});
    }
}

template <typename T>
PreparedDensityOp prepare_kraus(const DensityOperation& op, uint64_t n, std::vector<CuComplex<T>>& pool) {
    PreparedDensityOp prepared;
    const size_t k = op.targets.size();
    if (k == 0) fail("Kraus operation requires at least one target");
    uint64_t target_bits = 0;
    if (!collect_qubits(op.targets, n, target_bits)) fail("invalid or duplicate Kraus target qubit");
    if (op.kraus_dimension != (int64_t{1} << k)) fail("Kraus matrix dimension does not match targets");
    if (op.kraus_count < 1) fail("Kraus operation requires at least one matrix");
    uint64_t entries = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(op.kraus_count), uint64_t{1} << (2 * k), &entries) ||
        entries != op.kraus_matrices.size()) {
        fail("invalid Kraus matrix buffer size");
    }
    if (!all_finite_in<T>(op.kraus_matrices)) fail("Kraus matrices must contain only finite values");
    ChannelKind kind{};
    double channel_parameter = 0.0;
    if (builtin_channel(op, kind, channel_parameter)) {
        prepared.is_channel = true;
        prepared.target_mask = target_bits;
        prepared.channel_kind = static_cast<int32_t>(kind);
        prepared.channel_parameter = channel_parameter;
        prepared.targets = make_device_targets(op.targets, n);
        return prepared;
    }
    if (k > static_cast<size_t>(kMaxKrausTargets)) fail("GPU density Kraus supports at most 3 targets");
    prepared.is_kraus = true;
    prepared.targets = make_device_targets(op.targets, n);
    prepared.matrix_count = op.kraus_count;
    prepared.matrix_offset = static_cast<int64_t>(pool.size());
    append_to_pool(op.kraus_matrices, pool);
    return prepared;
}

template <typename T>
PreparedDensityOp prepare_gate(const DensityOperation& op, uint64_t n, std::vector<CuComplex<T>>& pool) {
    PreparedDensityOp prepared;
    const size_t k = op.targets.size();
    if (k == 0) fail("density operation requires at least one target");
    if (op.controls.size() != op.control_state.size()) fail("controls and control_state sizes must match");
    uint64_t target_bits = 0;
    if (!collect_qubits(op.targets, n, target_bits)) fail("invalid or duplicate target qubit");
    uint64_t used = target_bits;
    for (size_t j = 0; j < op.controls.size(); ++j) {
        const int64_t c = op.controls[j];
        if (c < 0 || static_cast<uint64_t>(c) >= n || (used & (uint64_t{1} << c))) {
            fail("invalid, duplicate, or overlapping control qubit");
        }
        const uint64_t bit = uint64_t{1} << c;
        used |= bit;
        const int64_t state = op.control_state[j];
        if (state != 0 && state != 1) fail("control_state must contain only 0 or 1");
        prepared.control_mask |= bit;
        if (state == 1) prepared.control_value |= bit;
    }
    if (k > static_cast<size_t>(kMaxUnitaryTargets)) fail("GPU density unitary supports at most 6 targets");

    const std::string name = normalise_name(op.name);
    if (!op.has_matrix) {
        std::complex<T> d0, d1;
        switch (cheap_form<T>(op, name, d0, d1)) {
            case CheapForm::Skip: prepared.skip = true; return prepared;
            case CheapForm::Diagonal:
                prepared.is_diagonal = true;
                prepared.target_mask = target_bits;
                prepared.diag0 = std::complex<double>(d0.real(), d0.imag());
                prepared.diag1 = std::complex<double>(d1.real(), d1.imag());
                return prepared;
            case CheapForm::Flip:
            case CheapForm::Swap:
                prepared.is_permutation = true;
                prepared.is_swap = k == 2;
                prepared.flip_mask = target_bits;
                return prepared;
            case CheapForm::None: break;
        }
    }
    std::vector<std::complex<double>> matrix;
    if (op.has_matrix) {
        if (!all_finite_in<T>(op.matrix)) fail("unitary matrix must contain only finite values");
        matrix = op.matrix;
    } else {
        for (const std::complex<T>& v : named_matrix<T>(op, name)) matrix.emplace_back(v.real(), v.imag());
    }
    if (matrix.size() != (size_t{1} << (2 * k))) fail("unitary matrix size does not match targets");
    prepared.targets = make_device_targets(op.targets, n);
    prepared.matrix_offset = static_cast<int64_t>(pool.size());
    append_to_pool(matrix, pool);
    return prepared;
}

}  // namespace

DeviceTargets make_device_targets(const std::vector<int64_t>& targets, uint64_t n) {
    uint64_t mask = 0;
    if (targets.size() > static_cast<size_t>(kMaxUnitaryTargets) || n > static_cast<uint64_t>(kMaxOtherQubits) ||
        !collect_qubits(targets, n, mask)) {
        throw std::invalid_argument("invalid target list for a density kernel");
    }
    DeviceTargets t{};
    t.count = static_cast<int64_t>(targets.size());
    t.other_count = static_cast<int64_t>(n) - t.count;
    for (size_t j = 0; j < targets.size(); ++j) t.targets[j] = targets[j];
    int64_t next = 0;
    for (uint64_t q = 0; q < n; ++q) {
        if (!(mask & (uint64_t{1} << q))) t.others[next++] = static_cast<int64_t>(q);
    }
    return t;
}

std::string normalise_name(const std::string& name) {
    static const std::unordered_map<std::string, std::string> aliases = {
        {"cx", "x"},    {"cnot", "x"},  {"mcx", "x"},          {"cy", "y"},   {"mcy", "y"},
        {"cz", "z"},    {"mcz", "z"},   {"ch", "h"},           {"mch", "h"},  {"cs", "s"},
        {"mcs", "s"},   {"cp", "p"},    {"mcp", "p"},          {"crx", "rx"}, {"mcrx", "rx"},
        {"cry", "ry"},  {"mcry", "ry"}, {"crz", "rz"},         {"mcrz", "rz"}, {"gphase", "gp"},
        {"global_phase", "gp"},         {"xyarb", "rxy"},
    };
    const auto it = aliases.find(name);
    return it == aliases.end() ? name : it->second;
}

void require_no_parameters(const DensityOperation& op) {
    if (!op.parameters.empty()) fail("density operation '" + op.name + "' requires no parameters");
}

template <typename T>
CheapForm cheap_form(const DensityOperation& op, const std::string& name, std::complex<T>& d0, std::complex<T>& d1) {
    using C = std::complex<T>;
    const size_t k = op.targets.size();
    d0 = C(1, 0);
    d1 = C(1, 0);
    if (name == "gp") {
        if (op.controls.empty()) return CheapForm::Skip;  // a global phase leaves rho unchanged
        if (k != 1) return CheapForm::None;
        check_parameters<T>(op, 1);
        d0 = d1 = expi(parameter<T>(op, 0));
        return CheapForm::Diagonal;
    }
    if (k == 2 && name == "swap") {
        require_no_parameters(op);
        return CheapForm::Swap;
    }
    if (k != 1) return CheapForm::None;
    const T c = Constants<T>::c;
    if (name == "p") {
        check_parameters<T>(op, 1);
        d1 = expi(parameter<T>(op, 0));
    } else if (name == "rz") {
        check_parameters<T>(op, 1);
        const T half = parameter<T>(op, 0) * Constants<T>::half;
        d0 = expi(-half);
        d1 = expi(half);
    } else if (name == "s") {
        d1 = C(0, 1);
    } else if (name == "s_dag") {
        d1 = C(0, -1);
    } else if (name == "t") {
        d1 = C(Constants<T>::t_re, c);
    } else if (name == "t_dag") {
        d1 = C(Constants<T>::t_re, -c);
    } else if (name == "z") {
        d1 = C(-1, 0);
    } else if (name == "-z") {
        d0 = C(-1, 0);
    } else if (name == "x") {
        require_no_parameters(op);
        return CheapForm::Flip;
    } else {
        return CheapForm::None;
    }
    return CheapForm::Diagonal;
}

template <typename T>
std::vector<std::complex<T>> named_matrix(const DensityOperation& op, const std::string& name) {
    using C = std::complex<T>;
    const size_t k = op.targets.size();
    if (name == "swap") {
        check_parameter_count(op, 0);
        if (k != 2) fail("swap requires exactly two targets");
        Matrix<T> m(16, C(0, 0));
        m[0] = m[1 * 4 + 2] = m[2 * 4 + 1] = m[15] = C(1, 0);
        return m;
    }
    if (k != 1) fail("named density operation requires one target");
    Matrix<T> m;
    if (fixed_matrix<T>(name, m)) {
        check_parameter_count(op, 0);
        return m;
    }
    if (rotation_matrix<T>(op, name, m)) return m;
    fail("unsupported named density operation '" + op.name + "'");
}

namespace {

using Kraus2x2 = std::array<std::complex<double>, 4>;  // row-major

// The Kraus set a built-in channel stands for, for parameter p; empty when p gives no real set.
std::vector<Kraus2x2> channel_kraus_set(ChannelKind kind, double p) {
    const double keep = 1.0 - p;
    if (!(p >= 0.0) || !(keep >= 0.0)) return {};
    const double a = std::sqrt(p), b = std::sqrt(keep);
    switch (kind) {
        case ChannelKind::BitFlip:
            return {Kraus2x2{b, 0, 0, b}, Kraus2x2{0, a, a, 0}};
        case ChannelKind::PhaseFlip:
            return {Kraus2x2{b, 0, 0, b}, Kraus2x2{a, 0, 0, -a}};
        case ChannelKind::Depolarizing: {
            if (!(p <= 4.0 / 3.0)) return {};
            const double i0 = std::sqrt(1.0 - 0.75 * p), q = std::sqrt(p / 4.0);
            const std::complex<double> iq(0.0, q);
            return {Kraus2x2{i0, 0, 0, i0}, Kraus2x2{0, q, q, 0}, Kraus2x2{0, -iq, iq, 0}, Kraus2x2{q, 0, 0, -q}};
        }
        case ChannelKind::AmplitudeDamping:
            return {Kraus2x2{1, 0, 0, b}, Kraus2x2{0, a, 0, 0}};
        case ChannelKind::PhaseDamping:
            return {Kraus2x2{b, 0, 0, b}, Kraus2x2{a, 0, 0, 0}, Kraus2x2{0, 0, 0, a}};
    }
    return {};
}

// Whether the given matrices are the channel's own set for p, entry by entry. Any other set (the
// same channel in another Kraus basis, or a different channel under the name) is no built-in one.
bool matches_channel_set(const DensityOperation& op, ChannelKind kind, double p) {
    constexpr double kTolerance = 1e-9;
    const std::vector<Kraus2x2> expected = channel_kraus_set(kind, p);
    if (expected.size() != static_cast<size_t>(op.kraus_count)) return false;
    for (size_t m = 0; m < expected.size(); ++m) {
        for (size_t e = 0; e < 4; ++e) {
            if (!(std::abs(op.kraus_matrices[4 * m + e] - expected[m][e]) <= kTolerance)) return false;
        }
    }
    return true;
}

}  // namespace

bool builtin_channel(const DensityOperation& op, ChannelKind& kind, double& parameter) {
    if (op.channel_name.empty() || op.targets.size() != 1 || op.kraus_dimension != 2) return false;
    struct Row {
        const char* name;
        int64_t count;
        ChannelKind kind;
        int entry;      // K1[0][0] or K1[0][1]
        double factor;  // parameter = factor * Re(K1 entry)^2
    };
    static const Row rows[] = {
        {"bit_flip", 2, ChannelKind::BitFlip, 1, 1.0},
        {"phase_flip", 2, ChannelKind::PhaseFlip, 0, 1.0},
        {"depolarizing", 4, ChannelKind::Depolarizing, 1, 4.0},
        {"amplitude_damping", 2, ChannelKind::AmplitudeDamping, 1, 1.0},
        {"phase_damping", 3, ChannelKind::PhaseDamping, 0, 1.0},
    };
    for (const Row& row : rows) {
        if (op.channel_name != row.name || op.kraus_count != row.count) continue;
        if (op.kraus_matrices.size() != static_cast<size_t>(4 * row.count)) return false;
        const double v = op.kraus_matrices[4 + row.entry].real();  // the second matrix, K1
        const double p = row.factor * (v * v);
        // The closed form is that set's channel only: anything else runs as the Kraus sum given.
        if (!matches_channel_set(op, row.kind, p)) return false;
        kind = row.kind;
        parameter = p;
        return true;
    }
    return false;
}

template <typename T>
PreparedDensityOp prepare_operation(const DensityOperation& op, uint64_t n, std::vector<CuComplex<T>>& pool) {
    return op.is_kraus ? prepare_kraus<T>(op, n, pool) : prepare_gate<T>(op, n, pool);
}

template PreparedDensityOp prepare_operation<float>(const DensityOperation&, uint64_t, std::vector<CuComplex<float>>&);
template PreparedDensityOp prepare_operation<double>(const DensityOperation&, uint64_t,
                                                     std::vector<CuComplex<double>>&);
template CheapForm cheap_form<double>(const DensityOperation&, const std::string&, std::complex<double>&,
                                      std::complex<double>&);
template std::vector<std::complex<double>> named_matrix<double>(const DensityOperation&, const std::string&);

}  // namespace velloran::rhosim
