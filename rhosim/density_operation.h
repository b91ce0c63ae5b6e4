// The density module's operation records: what is read from each Python operation object, and the
// launch record prepared from it after validation. Preparing runs without the interpreter lock.
#pragma once

#include <complex>
#include <cstdint>
#include <string>
#include <vector>

#include "../common/cu_complex.h"
#include "density_types.h"

namespace velloran::rhosim {

struct DensityOperation {
    bool is_kraus = false;
    std::string name;
    std::vector<int64_t> targets;
    std::vector<int64_t> controls;
    std::vector<int64_t> control_state;
    std::vector<double> parameters;
    std::vector<std::complex<double>> matrix;  // row-major, only with has_matrix
    bool has_matrix = false;
    std::string channel_name;
    int64_t kraus_dimension = 0;
    int64_t kraus_count = 0;
    std::vector<std::complex<double>> kraus_matrices;  // matrix m row-major at m * d * d
};

// Exactly one form applies, in this order: skip, permutation, diagonal, channel, Kraus, unitary.
struct PreparedDensityOp {
    bool is_kraus = false;
    DeviceTargets targets{};
    uint64_t control_mask = 0;
    uint64_t control_value = 0;
    int64_t matrix_count = 0;
    int64_t matrix_offset = 0;
    bool is_diagonal = false;
    bool skip = false;
    uint64_t target_mask = 0;
    std::complex<double> diag0{1.0, 0.0};
    std::complex<double> diag1{1.0, 0.0};
    bool is_permutation = false;
    uint64_t flip_mask = 0;
    bool is_swap = false;
    bool is_channel = false;
    int32_t channel_kind = 0;
    double channel_parameter = 0.0;

    bool is_general_unitary() const { return !skip && !is_permutation && !is_diagonal && !is_channel && !is_kraus; }
};

// Validates `op` against an n-qubit register and classifies it; general unitaries and general
// Kraus sets append their matrices, rounded to T, to `pool`. Throws std::runtime_error with the
// operation's message; nothing is launched here.
template <typename T>
PreparedDensityOp prepare_operation(const DensityOperation& op, uint64_t n, std::vector<CuComplex<T>>& pool);

// The canonical name behind an alias ("cx" -> "x", "gphase" -> "gp", ...); other names unchanged.
std::string normalise_name(const std::string& name);

// The cheap forms of a gate without a stored matrix. Diagonal gives d0 and d1 computed in T.
enum class CheapForm { None, Skip, Diagonal, Flip, Swap };
template <typename T>
CheapForm cheap_form(const DensityOperation& op, const std::string& name, std::complex<T>& d0, std::complex<T>& d1);

// The 2^k x 2^k row-major matrix of a named gate, computed in T.
template <typename T>
std::vector<std::complex<T>> named_matrix(const DensityOperation& op, const std::string& name);

// A Kraus-form operation that is one of the five built-in channels: its kind and parameter.
bool builtin_channel(const DensityOperation& op, density::ChannelKind& kind, double& parameter);

// Throws "density operation '<name>' requires no parameters" when parameters were given.
void require_no_parameters(const DensityOperation& op);

}  // namespace velloran::rhosim
