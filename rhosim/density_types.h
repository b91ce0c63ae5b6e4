// Types shared by the density kernels and their host side: the built-in channel codes, the target
// list passed to kernels by value, and the index arithmetic that enumerates blocks of the matrix.
#pragma once

#include <cstdint>
#include <vector>

#include "../common/backend.h"
#include "../common/cu_complex.h"
#include "../common/index_bits.h"

namespace velloran::density {

enum class ChannelKind : int32_t {
    BitFlip = 1,
    PhaseFlip = 2,
    Depolarizing = 3,
    AmplitudeDamping = 4,
    PhaseDamping = 5,
};

constexpr bool valid_channel_kind(int32_t kind) { return kind >= 1 && kind <= 5; }

}  // namespace velloran::density

namespace velloran::rhosim {

constexpr int kMaxUnitaryTargets = 6;
constexpr int kMaxKrausTargets = 3;
constexpr int kMaxOtherQubits = 15;

// The targets of one operation in the order given (first target = least significant bit of a
// local matrix index) and every other qubit of the register in ascending order.
struct DeviceTargets {
    int64_t count;
    int64_t other_count;
    int64_t targets[kMaxUnitaryTargets];
    int64_t others[kMaxOtherQubits];
};
static_assert(sizeof(DeviceTargets) == 23 * 8, "DeviceTargets is 23 words");

// Built from a validated target list (distinct qubits below n <= 15, at most six of them).
DeviceTargets make_device_targets(const std::vector<int64_t>& targets, uint64_t n);

VELLORAN_HD uint64_t target_mask_of(const DeviceTargets& t) {
    uint64_t mask = 0;
    for (int64_t j = 0; j < t.count; ++j) mask |= uint64_t{1} << static_cast<int32_t>(t.targets[j]);
    return mask;
}

// The base index of compact group g: the bits of g spread over the non-target positions in
// ascending order, with every bit of `target_mask` 0 (zero bits inserted at the targets, lowest
// target first).
VELLORAN_HD uint64_t expand_group(uint64_t g, uint64_t target_mask) { return insert_zero_bits(g, target_mask, 0); }

// The index offsets of the 2^K local basis states of a block: bit j of local index a is the value of
// targets[j].
template <int K>
VELLORAN_HD void local_offsets(const DeviceTargets& t, uint64_t (&offs)[1 << K]) {
    for (int a = 0; a < (1 << K); ++a) {
        uint64_t o = 0;
        for (int j = 0; j < K; ++j) {
            if ((a >> j) & 1) o |= uint64_t{1} << static_cast<int32_t>(t.targets[j]);
        }
        offs[a] = o;
    }
}

template <typename T>
VELLORAN_HD CuComplex<T> conj(CuComplex<T> a) {
    return CuComplex<T>{a.re, -a.im};
}

// a * conj(b), the product the right-hand multiplications by a Hermitian conjugate need.
template <typename T>
VELLORAN_HD CuComplex<T> mul_conj(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re * b.re + a.im * b.im, a.im * b.re - a.re * b.im};
}

}  // namespace velloran::rhosim
