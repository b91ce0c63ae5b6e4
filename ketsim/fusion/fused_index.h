// Index arithmetic of the fused executors: depositing a compact index into the bits of a mask by
// the shorter of two bit loops.
#pragma once

#include <cstdint>

#include "../../common/backend.h"
#include "../gates/index_bits.h"

namespace ketsim::fusion {

using velloran::bit_count;

// pdep(x, mask) for x below 2^popcount(mask), where `complement` holds the index's other bits:
// depositing into mask is inserting zeros at the complement's bits, so the shorter of the two bit
// loops does it. `via_complement` says which one that is (see prefer_complement).
VELLORAN_HD uint64_t deposit_into(uint64_t x, uint64_t mask, uint64_t complement, bool via_complement) {
    return via_complement ? insert_zero_bits(x, complement, 0) : deposit_bits(x, mask);
}

VELLORAN_HD bool prefer_complement(uint64_t mask, uint64_t complement) {
    return bit_count(complement) < bit_count(mask);
}

}  // namespace ketsim::fusion
