// Index arithmetic shared by the gate kernels: thread coordinates and zero-bit insertion.
#pragma once

#include <cstdint>

#include "../../common/backend.h"

namespace ketsim {

VELLORAN_DEVICE uint64_t global_thread_index() {
    return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x;
}

VELLORAN_DEVICE uint64_t grid_stride() { return static_cast<uint64_t>(blockDim.x) * gridDim.x; }

// i with a 0 inserted at the position of the single set bit of `bit`.
VELLORAN_HD uint64_t insert_zero_bit(uint64_t i, uint64_t bit) {
    return ((i & ~(bit - 1)) << 1) | (i & (bit - 1));
}

// i with a 0 inserted at `lo_bit`, then at `hi_bit` (lo_bit < hi_bit): the base index of a
// two-qubit quadruple.
VELLORAN_HD uint64_t insert_two_zero_bits(uint64_t i, uint64_t lo_bit, uint64_t hi_bit) {
    return insert_zero_bit(insert_zero_bit(i, lo_bit), hi_bit);
}

// i with a 0 inserted at every set bit of `insert_mask`, lowest first, then `set_bits` ORed in:
// enumerates exactly the indices whose masked bits equal set_bits.
VELLORAN_HD uint64_t insert_zero_bits(uint64_t i, uint64_t insert_mask, uint64_t set_bits) {
    uint64_t j = i;
    while (insert_mask) {
        const uint64_t bit = insert_mask & (~insert_mask + 1);
        j = insert_zero_bit(j, bit);
        insert_mask &= insert_mask - 1;
    }
    return j | set_bits;
}

// Bit deposit: the j-th lowest set bit of `mask` receives bit j of x.
VELLORAN_HD uint64_t deposit_bits(uint64_t x, uint64_t mask) {
    uint64_t result = 0;
    for (uint64_t bit = 1; mask; bit <<= 1) {
        const uint64_t lowest = mask & (~mask + 1);
        if (x & bit) result |= lowest;
        mask &= mask - 1;
    }
    return result;
}

}  // namespace ketsim
