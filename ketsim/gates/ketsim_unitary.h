// The matrix types of the UNITARY gate and the dense product the UNITARY kernels apply to the
// amplitudes of one base index.
#pragma once

#include <cstdint>
#include <type_traits>

#include "../../common/cu_complex.h"
#include "../../common/device_access.h"

namespace ketsim {

// Row-major one-target matrix, passed to kernels by value.
template <typename T>
struct Unitary2x2 {
    CuComplex<T> u00, u01, u10, u11;
};

// Row-major two-target matrix, passed to kernels by value (128 or 256 bytes).
template <typename T>
struct Unitary4x4 {
    CuComplex<T> m[16];
};

// The OR of 2^targets[j] over the set bits j of the matrix index c, the offset of the
// amplitude that matrix index c names relative to its base index. Targets are in caller order.
VELLORAN_HD uint64_t spread_matrix_index(uint64_t c, const int64_t* targets, int64_t m) {
    uint64_t offset = 0;
    for (int64_t j = 0; j < m; ++j) {
        if ((c >> j) & 1) offset |= uint64_t{1} << targets[j];
    }
    return offset;
}

// Row r of the product: sum over c of M(r, c) a(c), accumulated from 0 in increasing c. A matrix
// in device memory (a pointer) is read one whole entry at a time; one passed by value is indexed.
template <int D, typename T, typename Matrix>
VELLORAN_HD CuComplex<T> dense_row(const Matrix& matrix, int r, const CuComplex<T> (&a)[D]) {
    CuComplex<T> sum{T(0), T(0)};
#pragma unroll
    for (int c = 0; c < D; ++c) {
        if constexpr (std::is_pointer_v<Matrix>) {
            sum = sum + velloran::load_amplitude(matrix + (r * D + c)) * a[c];
        } else {
            sum = sum + matrix[r * D + c] * a[c];
        }
    }
    return sum;
}

}  // namespace ketsim
