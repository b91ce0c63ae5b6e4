// Index arithmetic of the gate kernels: thread coordinates and the two-qubit base index, beside
// the bit helpers shared with rhosim.
#pragma once

#include <cstdint>

#include "../../common/backend.h"
#include "../../common/index_bits.h"

namespace ketsim {

VELLORAN_DEVICE uint64_t global_thread_index() {
    return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

VELLORAN_DEVICE uint64_t grid_stride() { return static_cast<uint64_t>(blockDim.x) * gridDim.x; }

using velloran::deposit_bits;
using velloran::insert_zero_bit;
using velloran::insert_zero_bits;

// i with a 0 inserted at `lo_bit`, then at `hi_bit` (lo_bit < hi_bit): the base index of a
// two-qubit quadruple.
VELLORAN_HD uint64_t insert_two_zero_bits(uint64_t i, uint64_t lo_bit, uint64_t hi_bit) {
    return insert_zero_bit(insert_zero_bit(i, lo_bit), hi_bit);
}

}  // namespace ketsim
