// Bit arithmetic on amplitude and matrix indices, shared by the kernels of both modules: inserting
// zero bits, depositing a compact index into the bits of a mask, counting bits.
#pragma once

#include <cstdint>

#include "backend.h"

namespace velloran {

// Set bits of x, without compiler builtins so that both builds share it.
VELLORAN_HD int bit_count(uint64_t x) {
    x = x - ((x >> 1) & 0x5555555555555555ull);
    x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
    x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
    return static_cast<int>((x * 0x0101010101010101ull) >> 56);
}

// i with a 0 inserted at the position of the single set bit of `bit`.
VELLORAN_HD uint64_t insert_zero_bit(uint64_t i, uint64_t bit) {
    return ((i & ~(bit - 1)) << 1) | (i & (bit - 1));
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

// x with the bits under `mask` taken out and the bits above them moved down: the inverse of
// insert_zero_bits(., mask, 0).
VELLORAN_HD uint64_t remove_bits(uint64_t x, uint64_t mask) {
    while (mask != 0) {
        const uint64_t below = (mask & (~mask + 1)) - 1;
        x = (x & below) | ((x >> 1) & ~below);
        mask = (mask >> 1) & ~below;  // the bits left to take out, moved down with x
    }
    return x;
}

// How many q below `bound` have their bits under `mask` equal to `value` (a subset of mask): for
// each set bit p of bound, the q that agree with bound above p and have p clear.
VELLORAN_HD uint64_t count_matching_below(uint64_t bound, uint64_t mask, uint64_t value) {
    uint64_t total = 0;
    for (uint64_t rest = bound; rest != 0; rest &= rest - 1) {
        const uint64_t bit = rest & (~rest + 1);
        const uint64_t from_bit = ~(bit - 1);
        if ((bound & ~bit & mask & from_bit) == (value & from_bit)) total += bit >> bit_count(mask & (bit - 1));
    }
    return total;
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

// x + y counted only in the bits of `mask` (x and y are subsets of mask): steps through the
// deposited indices deposit_bits(i, mask) without depositing every i anew.
VELLORAN_HD uint64_t masked_add(uint64_t x, uint64_t y, uint64_t mask) { return ((x | ~mask) + y) & mask; }

}  // namespace velloran
