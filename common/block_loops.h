// A kernel block's walk over a subset of indices, written once for both builds. On the GPU (and on
// the host when blocks run with all their threads) the indices are spread over the block's threads;
// on the host, where a barrier kernel's block runs as one thread by default, they are walked as
// runs of evenly spaced indices, so the inner loop carries no bit arithmetic and vectorises.
#pragma once

#include <cstdint>

#include "backend.h"
#include "index_bits.h"

namespace velloran {

#if !defined(VELLORAN_BACKEND_CUDA)
namespace host {

// The stretch of consecutive bits below `length_bits` outside `fixed` that the inner loop walks:
// the lowest one when it spans at least four indices (unit stride), else the longest.
struct IndexStretch {
    int32_t shift = 0;
    int32_t bits = 0;
};

inline IndexStretch inner_stretch(int32_t length_bits, uint64_t fixed) {
    IndexStretch best;
    for (int32_t b = 0; b < length_bits;) {
        if ((fixed >> b) & 1u) {
            ++b;
            continue;
        }
        int32_t e = b;
        while (e < length_bits && !((fixed >> e) & 1u)) ++e;
        if (b == 0 && e >= 2) return IndexStretch{0, e};
        if (e - b > best.bits) best = IndexStretch{b, e - b};
        b = e;
    }
    return best;
}

template <typename Body>
inline void for_subset_runs(int32_t length_bits, uint64_t fixed, uint64_t value, uint64_t count, Body& body) {
    const IndexStretch stretch = inner_stretch(length_bits, fixed);
    const uint64_t inner = uint64_t{1} << stretch.bits;
    const uint64_t excluded = fixed | ((inner - 1) << stretch.shift);
    const uint64_t runs = count >> stretch.bits;
    if (stretch.shift == 0) {
        for (uint64_t r = 0; r < runs; ++r) {
            const uint64_t base = insert_zero_bits(r, excluded, value);
            for (uint64_t j = 0; j < inner; ++j) body(base + j);
        }
        return;
    }
    const uint64_t spacing = uint64_t{1} << stretch.shift;
    for (uint64_t r = 0; r < runs; ++r) {
        const uint64_t base = insert_zero_bits(r, excluded, value);
        for (uint64_t j = 0; j < inner; ++j) body(base + j * spacing);
    }
}

}  // namespace host
#endif

// Calls body(i) once for every i below 2^length_bits whose bits under `fixed` equal `value` (a
// subset of fixed), spread over the calling block's threads; exact for any block size.
template <typename Body>
VELLORAN_DEVICE void block_for_subset(int32_t length_bits, uint64_t fixed, uint64_t value, Body&& body) {
    const uint64_t count = (uint64_t{1} << length_bits) >> bit_count(fixed);
#if !defined(VELLORAN_BACKEND_CUDA)
    if (blockDim.x == 1) {
        host::for_subset_runs(length_bits, fixed, value, count, body);
        return;
    }
#endif
    for (uint64_t q = threadIdx.x; q < count; q += blockDim.x) body(insert_zero_bits(q, fixed, value));
}

}  // namespace velloran
