// A kernel block's walk over a subset of indices, written once for both builds. On the GPU (and on
// the host when blocks run with all their threads) the indices are spread over the block's threads;
// on the host, where a barrier kernel's block runs as one thread by default, they are walked as
// runs of evenly spaced indices, so the inner loop carries no bit arithmetic and vectorises.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "backend.h"
#include "index_bits.h"

namespace velloran {

// Where the body of an index walk reads and writes: element (index + offset) of `data`, for each
// of the first `count` offsets. The host walk uses it to prefetch what it will walk next; the GPU
// walk does not need it.
// VectorBody: the body already works on a vector's worth of amplitudes (a block with lane
// coefficients); the host walk then calls it index by index instead of vectorising across indices.
template <typename T, bool VectorBody = false>
struct IndexStreams {
    static constexpr bool kVectorBody = VectorBody;
    static constexpr size_t kElementBytes = sizeof(T);
    const T* data;
    uint64_t offsets[4];
    int count;

    // Prefetches the aligned block [index, index + span) (span a power of two) of every stream,
    // once for streams whose offsets fall in the same block.
    inline __attribute__((always_inline)) void read_ahead(uint64_t index, uint64_t span) const {
        constexpr uint64_t line = 64 / sizeof(T) ? 64 / sizeof(T) : 1;
        for (int s = 0; s < count; ++s) {
            const uint64_t block = offsets[s] & ~(span - 1);
            bool seen = false;
            for (int r = 0; r < s; ++r) seen |= (offsets[r] & ~(span - 1)) == block;
            if (seen) continue;
            const T* const p = data + (index + block);
            // Into L2, not L1: blocks read ahead into L1 evicted the lines the walk was still
            // working on (X on qubit 6 in complex128, one thread: 22 ms a gate against 13).
            for (uint64_t e = 0; e < span; e += line) __builtin_prefetch(p + e, 0, 2);
        }
    }
};

// A body that names no streams.
struct NoIndexStreams {
    static constexpr bool kVectorBody = false;
    static constexpr size_t kElementBytes = 1;
    static constexpr int count = 0;
    void read_ahead(uint64_t, uint64_t) const {}
};

#if !defined(VELLORAN_BACKEND_CUDA)

namespace host {

// A walk over a subset of indices reads, between two fixed bits, a stretch of memory per stream;
// where such stretches are 512 bytes to 4 KiB, neighbouring ones belong to other streams (a
// target's partner) or are skipped, so one page holds several read fronts, and the hardware
// prefetcher follows one of them. The walk then prefetches each stream's next aligned block itself;
// shorter stretches read as one front (or cost more to prefetch than they gain) and longer ones
// stream well.
inline constexpr uint64_t kReadAheadMinBytes = 512;
inline constexpr uint64_t kReadAheadMaxBytes = 4096;
// How many blocks ahead it reads: one 512-byte block is walked in far less time than memory takes
// to answer (a target on qubit 5 in complex128, one thread: about 34 GB/s one block ahead, 48 four
// ahead, against 60 for a high target), and small blocks need more of them: at least
// kReadAheadBytes ahead (qubit 5 again: 16.5 ms a gate at four 512-byte blocks, 13.5 at sixteen).
inline constexpr uint64_t kReadAheadBlocks = 4;
inline constexpr uint64_t kReadAheadBytes = 8192;

inline uint64_t read_ahead_blocks(uint64_t span_bytes) {
    return std::max(kReadAheadBlocks, kReadAheadBytes / span_bytes);
}

// The block (in indices, a power of two) that a walk reads ahead by: that of the lowest fixed bit
// at `from` or above whose blocks reach kReadAheadMinBytes, if they are at most kReadAheadMaxBytes;
// else 0.
inline uint64_t read_ahead_span(uint64_t fixed, int from, size_t element_bytes) {
    if (from >= 64) return 0;
    for (uint64_t rest = fixed >> from << from; rest != 0; rest &= rest - 1) {
        const uint64_t span = rest & (~rest + 1);
        if (span > kReadAheadMaxBytes) return 0;  // too long at any element size; keeps the product small
        if (span * element_bytes < kReadAheadMinBytes) continue;
        return span * element_bytes <= kReadAheadMaxBytes ? span : 0;
    }
    return 0;
}

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

// Calls walk(std::integral_constant<int, S>) with S = shift for the small spacings 1 to 16, which
// the walks then know at compile time (a body whose own offsets are constants reads one contiguous
// stretch per run, which the compiler vectorises as an interleaved group), else with S = -1.
template <typename Walk>
inline __attribute__((always_inline)) void with_constant_shift(int shift, Walk&& walk) {
    switch (shift) {
        case 0: walk(std::integral_constant<int, 0>{}); break;
        case 1: walk(std::integral_constant<int, 1>{}); break;
        case 2: walk(std::integral_constant<int, 2>{}); break;
        case 3: walk(std::integral_constant<int, 3>{}); break;
        case 4: walk(std::integral_constant<int, 4>{}); break;
        default: walk(std::integral_constant<int, -1>{}); break;
    }
}

// The runs of for_subset_runs with spacing 1 << Shift (Shift < 0: 1 << shift, known at run time).
template <int Shift, typename Body>
inline __attribute__((always_inline)) void walk_subset_runs(uint64_t runs, uint64_t inner, uint64_t excluded,
                                                            uint64_t value, int32_t shift, Body& body) {
    if constexpr (Shift >= 0) shift = Shift;
    // Run r starts at r deposited into the bits outside `excluded`; the next start is one step in
    // those bits (masked_add), not a new deposit.
    const uint64_t free = ~excluded;
    const uint64_t step = free & (~free + 1);
    uint64_t start = 0;
    for (uint64_t r = 0; r < runs; ++r, start = masked_add(start, step, free)) {
        const uint64_t base = start | value;
        // The indices stand for a block's threads, which never depend on each other between barriers.
#pragma GCC ivdep
        for (uint64_t j = 0; j < inner; ++j) body(base + (j << shift));
    }
}

template <typename Body>
inline void for_subset_runs(int32_t length_bits, uint64_t fixed, uint64_t value, uint64_t count, Body& body) {
    const IndexStretch stretch = inner_stretch(length_bits, fixed);
    const uint64_t inner = uint64_t{1} << stretch.bits;
    const uint64_t excluded = fixed | ((inner - 1) << stretch.shift);
    const uint64_t runs = count >> stretch.bits;
    with_constant_shift(stretch.shift, [&](auto s) {
        walk_subset_runs<decltype(s)::value>(runs, inner, excluded, value, stretch.shift, body);
    });
}

// for_subset_runs over the pairs (i, i + Bit) of every aligned block of 2 * Bit indices that
// `fixed` leaves free, a block per call of the inner loop.
template <uint64_t Bit, typename Body>
inline void for_pair_blocks(int32_t length_bits, uint64_t fixed, uint64_t value, Body& body) {
    const auto block = [&](uint64_t first) {
        _Pragma("GCC unroll 8") for (uint64_t i = 0; i < Bit; ++i) body(first + i, first + i + Bit);
    };
    const uint64_t block_mask = 2 * Bit - 1;
    const uint64_t count = (uint64_t{1} << length_bits) >> bit_count(fixed | block_mask);
    for_subset_runs(length_bits, fixed | block_mask, value, count, block);
}

// Calls body(i, deposit_bits(i, mask)) for every i below 2^k, in runs where the deposited offsets
// are evenly spaced: the lowest stretch of set bits of `mask`.
template <typename Body>
inline void for_deposit_runs(int32_t k, uint64_t mask, const Body& shared_body) {
    Body body = shared_body;  // private, as in for_range_runs
    if (mask == 0) {
        body(0, 0);
        return;
    }
    const int shift = __builtin_ctzll(mask);
    const uint64_t above = ~(mask >> shift);
    const int run_bits = std::min<int>(above == 0 ? 64 : __builtin_ctzll(above), k);
    const uint64_t inner = uint64_t{1} << run_bits;
    const uint64_t count = uint64_t{1} << k;
    // A spacing known at compile time: a unit-stride run is a plain copy, where a run-time one left
    // the compiler a scatter instruction per vector (a tile's write-back ran at a fifth of a pass).
    // Each run starts one step on from the last in the mask's bits above the run (masked_add): a
    // deposit per run branched on every bit of the index.
    const uint64_t above_run = mask & ~((inner - 1) << shift);
    const uint64_t run_step = above_run & (~above_run + 1);
    with_constant_shift(shift, [&](auto constant) {
        const int spacing = decltype(constant)::value >= 0 ? decltype(constant)::value : shift;
        uint64_t offset = 0;
        for (uint64_t first = 0; first < count; first += inner, offset = masked_add(offset, run_step, above_run)) {
#pragma GCC ivdep
            for (uint64_t j = 0; j < inner; ++j) body(first + j, offset + (j << spacing));
        }
    });
}

// How a walk reads ahead, fixed for the whole walk: blocks of `span` state indices (0: it does
// not), `per_block` compact ones each, and `step`, the distance of read_ahead_blocks() blocks in
// the free bits (a masked_add operand), `distance` compact indices.
struct ReadAhead {
    uint64_t span = 0;
    uint64_t per_block = 0;
    uint64_t step = 0;
    uint64_t distance = 0;

    ReadAhead(uint64_t fixed, int from, size_t element_bytes, bool has_streams) {
        span = has_streams ? read_ahead_span(fixed, from, element_bytes) : 0;
        if (span == 0) return;
        per_block = span >> bit_count(fixed & (span - 1));
        distance = read_ahead_blocks(span * element_bytes) * per_block;
        step = insert_zero_bits(distance, fixed, 0);  // compact index `distance` in the free bits
    }
};

// Prefetches the block `ahead.distance` compact indices ahead when compact index q, at state index
// `start` (value bits clear), opens a block and the grid (compact indices below `bound`) reaches
// that one.
template <typename Streams>
inline __attribute__((always_inline)) void read_ahead_at_block(uint64_t q, uint64_t start, uint64_t bound,
                                                               uint64_t fixed, uint64_t value, const ReadAhead& ahead,
                                                               const Streams& streams) {
    if (ahead.span != 0 && (q & (ahead.per_block - 1)) == 0 && q + ahead.distance < bound) {
        const uint64_t next = masked_add(start & ~(ahead.span - 1), ahead.step, ~fixed);
        streams.read_ahead((next | value) & ~(ahead.span - 1), ahead.span);
    }
}

// A walk loop that the compiler vectorises across the calls of a vector-wide body leaves the body
// itself scalar, and all of it where a run is shorter than the vector (a two-target block kernel in
// complex64 with the upper target on qubit 3 ran four times slower than on qubit 12). Such a body's
// loops take an empty asm that makes the index opaque to the vectoriser, and costs nothing.
template <typename Streams>
inline __attribute__((always_inline)) void keep_body_whole(uint64_t& j) {
    if constexpr (Streams::kVectorBody) asm("" : "+r"(j));
}

// The runs of for_range_runs with spacing 1 << Shift (Shift < 0: 1 << shift, known only at run time).
// With streams, the first run of each read-ahead block prefetches a block ahead.
template <int Shift, typename Streams, typename Body>
inline __attribute__((always_inline)) void walk_runs(uint64_t first, uint64_t last, uint64_t bound, uint64_t fixed,
                                                     uint64_t value, int run_bits, int shift, const ReadAhead& ahead,
                                                     const Streams& streams, Body& body) {
    if constexpr (Shift >= 0) shift = Shift;
    // Only the first run start is a deposit of q; each later one is a step of the compact index's
    // remaining low bits in the free bits (masked_add).
    uint64_t start = insert_zero_bits(first, fixed, 0);
    for (uint64_t q = first; q < last;) {
        const uint64_t end = run_bits >= 63 ? last : std::min(last, (q | ((uint64_t{1} << run_bits) - 1)) + 1);
        const uint64_t base = start | value;
        const uint64_t length = end - q;
        read_ahead_at_block(q, start, bound, fixed, value, ahead, streams);
        // The indices are threads of a GPU grid, which run in no order: iterations never depend
        // on each other, whatever the compiler can prove about the pointers.
#pragma GCC ivdep
        for (uint64_t j = 0; j < length; ++j) {
            body(base + (j << shift));
            keep_body_whole<Streams>(j);
        }
        start = masked_add(start, length << shift, ~fixed);
        q = end;
    }
}

// Unit-stride runs of a constant 2^RunBits indices (a target or control on qubit 2, 3 or 4): a
// vector or two each, with no remainder. Between two masked steps the walk takes every run of the
// stretch of free bits above the run's fixed bits, whose starts are evenly spaced, so a run costs
// one addition.
template <int RunBits, typename Streams, typename Body>
inline __attribute__((always_inline)) void walk_short_runs(uint64_t first, uint64_t last, uint64_t bound,
                                                           uint64_t fixed, uint64_t value, int gap,
                                                           const ReadAhead& ahead, const Streams& streams, Body& body) {
    constexpr uint64_t length = uint64_t{1} << RunBits;
    // The free bits from `gap` (the lowest free bit above the run, below 62) to the next fixed one.
    const uint64_t above = fixed >> gap;
    const int stretch_bits = std::min(above == 0 ? 64 - gap : __builtin_ctzll(above), 62 - RunBits);
    const uint64_t group_mask = (length << stretch_bits) - 1;  // compact indices of a stretch, less one
    const uint64_t spacing = uint64_t{1} << gap;
    uint64_t start = insert_zero_bits(first, fixed, 0);
    for (uint64_t q = first; q < last;) {
        const uint64_t end = std::min(last, (q | group_mask) + 1);
        uint64_t run = start;
        for (; q < end; q += length, run += spacing) {
            read_ahead_at_block(q, run, bound, fixed, value, ahead, streams);
            const uint64_t base = run | value;
            // Iterations never depend on each other, as in walk_runs. Unrolled whole before the
            // vectoriser sees it, the loop would be left to the less able straight-line one.
#pragma GCC ivdep
#pragma GCC unroll 1
            for (uint64_t j = 0; j < length; ++j) {
                body(base + j);
                keep_body_whole<Streams>(j);
            }
        }
        start = masked_add(start, run - start, ~fixed);
    }
}

// Calls body(insert_zero_bits(q, fixed, value)) for q in [first, last), in runs of evenly spaced
// indices: the compact index's low bits fill the free bits above the lowest fixed ones (spacing
// 1 << shift) up to the next fixed bit, so each run costs one masked step of its start.
template <typename Streams, typename Body>
VELLORAN_VECTOR_KERNEL inline void for_range_runs(uint64_t first, uint64_t last, uint64_t bound, uint64_t fixed,
                                              uint64_t value, const Streams& streams, const Body& shared_body) {
    // A private copy: what the body captured by value stays in registers, where loads through the
    // caller's object would be repeated after every store the body makes.
    Body body = shared_body;
    const int shift = __builtin_ctzll(~fixed);
    const uint64_t above = shift >= 63 ? 0 : fixed >> shift;
    const int run_bits = above == 0 ? 64 : __builtin_ctzll(above);
    const ReadAhead ahead(fixed, shift + run_bits, Streams::kElementBytes, streams.count > 0);
    // Short unit-stride runs take their own walk where the range holds whole runs (a grid block's
    // range does).
    if (shift == 0 && run_bits >= 2 && run_bits <= 4 && ((first | last) & ((uint64_t{1} << run_bits) - 1)) == 0) {
        const int gap = run_bits + __builtin_ctzll(~(fixed >> run_bits) | (uint64_t{1} << 63));
        if (gap < 62) {
            const auto walk = [&](auto bits) {
                walk_short_runs<decltype(bits)::value>(first, last, bound, fixed, value, gap, ahead, streams, body);
            };
            switch (run_bits) {
                case 2: walk(std::integral_constant<int, 2>{}); return;
                case 3: walk(std::integral_constant<int, 3>{}); return;
                default: walk(std::integral_constant<int, 4>{}); return;
            }
        }
    }
    with_constant_shift(shift, [&](auto s) {
        walk_runs<decltype(s)::value>(first, last, bound, fixed, value, run_bits, shift, ahead, streams, body);
    });
}

// for_range_runs, passing body only the indices whose bits under `mask` equal `value`. Where
// [first, last) is an aligned range of a power-of-two length, its matching compact indices are one
// aligned range of the walk that fixes the masked bits as well, which is walked instead: only the
// matching indices, as runs.
template <typename Streams, typename Body>
inline void for_range_runs_where(uint64_t first, uint64_t last, uint64_t bound, uint64_t fixed, uint64_t set,
                                 uint64_t mask, uint64_t value, const Streams& streams, const Body& body) {
    if ((value & ~mask) != 0 || ((set ^ value) & mask & fixed) != 0) return;  // nothing can match
    const uint64_t walked = mask & ~fixed;
    if (walked == 0) {  // every index matches
        for_range_runs(first, last, bound, fixed, set, streams, body);
        return;
    }
    const uint64_t size = last - first;
    if ((size & (size - 1)) == 0 && (first & (size - 1)) == 0) {
        // The masked bits as bits of the compact index.
        const uint64_t compact_mask = remove_bits(walked, fixed);
        const uint64_t compact_value = remove_bits(value & walked, fixed);
        const uint64_t low = size - 1;
        if ((first & compact_mask & ~low) != (compact_value & ~low)) return;
        const uint64_t begin = remove_bits(first, compact_mask);
        const uint64_t length = size >> bit_count(compact_mask & low);
        // The wider walk's indices that stand for the matching ones below bound: its read-ahead
        // stops at the last of them.
        const uint64_t wide_bound = count_matching_below(bound, compact_mask, compact_value);
        for_range_runs(begin, begin + length, wide_bound, fixed | walked, set | value, streams, body);
        return;
    }
    for_range_runs(first, last, bound, fixed, set, streams, [=](uint64_t i) {
        if ((i & mask) == value) body(i);
    });
}

}  // namespace host
#endif

// The index of the calling thread in a grid that gives one compact index q < count to each thread,
// expanded as insert_zero_bits(q, fixed, value) and passed to body. On the host, where
// launch_indexed_kernel calls each block once, that call walks every index of its block as runs;
// under any other launch the block's first thread does, so the result is the same. `streams`
// (IndexStreams, or NoIndexStreams) says where the body reads.
template <typename Streams, typename Body>
VELLORAN_DEVICE void for_thread_index(uint64_t count, uint64_t fixed, uint64_t value, const Streams& streams,
                                      Body&& body) {
#if !defined(VELLORAN_BACKEND_CUDA)
    if (threadIdx.x != 0) return;
    const uint64_t first = uint64_t{blockIdx.x} * blockDim.x;
    if (first >= count) return;
    host::for_range_runs(first, count - first < blockDim.x ? count : first + blockDim.x, count, fixed, value,
                         streams, body);
#else
    (void)streams;
    const uint64_t q = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (q < count) body(insert_zero_bits(q, fixed, value));
#endif
}

template <typename Body>
VELLORAN_DEVICE void for_thread_index(uint64_t count, uint64_t fixed, uint64_t value, Body&& body) {
    for_thread_index(count, fixed, value, NoIndexStreams{}, body);
}

// The index of the calling thread in a grid of `count` threads, passed to body only where its bits
// under `mask` equal `value` (a subset of mask): every thread tests its own index. On the host,
// where launch_indexed_kernel calls each block once, an aligned block of a power-of-two size
// walks only its matching indices, as runs.
template <typename Body>
VELLORAN_DEVICE void for_matching_thread_index(uint64_t count, uint64_t mask, uint64_t value, Body&& body) {
#if !defined(VELLORAN_BACKEND_CUDA)
    if (threadIdx.x != 0) return;
    const uint64_t size = blockDim.x;
    const uint64_t first = uint64_t{blockIdx.x} * size;
    if (first >= count) return;
    host::for_range_runs_where(first, count - first < size ? count : first + size, count, 0, 0, mask, value,
                               NoIndexStreams{}, body);
#else
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i < count && (i & mask) == value) body(i);
#endif
}

// Grid-stride loops: the calling thread takes the indices i < count from its index in the grid on,
// a grid's thread count apart, so that any grid covers the range. On the host, where
// launch_indexed_kernel calls each block once, that call walks its block's slice of every stride
// as runs, visiting the same indices.
#if !defined(VELLORAN_BACKEND_CUDA)
namespace host {
// Calls walk(first, last) for the block's slice of each stride below count.
template <typename Walk>
inline void for_block_slices(uint64_t count, const Walk& walk) {
    if (threadIdx.x != 0) return;
    const uint64_t size = blockDim.x;
    const uint64_t stride = size * gridDim.x;
    for (uint64_t first = uint64_t{blockIdx.x} * size; first < count; first += stride) {
        walk(first, count - first < size ? count : first + size);
    }
}
}  // namespace host
#endif

// Calls body(insert_zero_bits(q, fixed, value)) for every q of the calling thread's grid-stride
// sequence below count.
template <typename Body>
VELLORAN_DEVICE void for_grid_stride_index(uint64_t count, uint64_t fixed, uint64_t value, Body&& body) {
#if !defined(VELLORAN_BACKEND_CUDA)
    host::for_block_slices(count, [&](uint64_t first, uint64_t last) {
        host::for_range_runs(first, last, count, fixed, value, NoIndexStreams{}, body);
    });
#else
    const uint64_t stride = uint64_t{blockDim.x} * gridDim.x;
    for (uint64_t q = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x; q < count; q += stride) {
        body(insert_zero_bits(q, fixed, value));
    }
#endif
}

// As for_grid_stride_index, passing body only the indices whose bits under `mask` equal `value`
// (the control test of a kernel that takes every base); on the host only the matching indices are
// walked, reading ahead where `streams` say.
template <typename Streams, typename Body>
VELLORAN_DEVICE void for_grid_stride_index_where(uint64_t count, uint64_t fixed, uint64_t set, uint64_t mask,
                                                 uint64_t value, const Streams& streams, Body&& body) {
#if !defined(VELLORAN_BACKEND_CUDA)
    host::for_block_slices(count, [&](uint64_t first, uint64_t last) {
        host::for_range_runs_where(first, last, count, fixed, set, mask, value, streams, body);
    });
#else
    (void)streams;
    const uint64_t stride = uint64_t{blockDim.x} * gridDim.x;
    for (uint64_t q = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x; q < count; q += stride) {
        const uint64_t i = insert_zero_bits(q, fixed, set);
        if ((i & mask) == value) body(i);
    }
#endif
}

template <typename Body>
VELLORAN_DEVICE void for_grid_stride_index_where(uint64_t count, uint64_t fixed, uint64_t set, uint64_t mask,
                                                 uint64_t value, Body&& body) {
    for_grid_stride_index_where(count, fixed, set, mask, value, NoIndexStreams{}, body);
}

// Calls body(i) for every i of the calling thread's grid-stride sequence below count whose bits
// under `mask` equal `value` (a subset of mask); on the host only the matching indices are walked.
template <typename Streams, typename Body>
VELLORAN_DEVICE void for_matching_grid_stride_index(uint64_t count, uint64_t mask, uint64_t value,
                                                    const Streams& streams, Body&& body) {
    for_grid_stride_index_where(count, 0, 0, mask, value, streams, body);
}

template <typename Body>
VELLORAN_DEVICE void for_matching_grid_stride_index(uint64_t count, uint64_t mask, uint64_t value, Body&& body) {
    for_grid_stride_index_where(count, 0, 0, mask, value, NoIndexStreams{}, body);
}

// Calls body(i, deposit_bits(i, mask)) for every i below 2^k (mask has k set bits), spread over
// the calling block's threads; each thread steps its offset with masked_add instead of depositing
// every index anew.
template <typename Body>
VELLORAN_DEVICE void block_for_deposited(int32_t k, uint64_t mask, Body&& body) {
#if !defined(VELLORAN_BACKEND_CUDA)
    if (blockDim.x == 1) {
        host::for_deposit_runs(k, mask, body);
        return;
    }
#endif
    const uint64_t step = deposit_bits(blockDim.x, mask);
    uint64_t offset = deposit_bits(threadIdx.x, mask);
    for (uint64_t i = threadIdx.x; i < (uint64_t{1} << k); i += blockDim.x) {
        body(i, offset);
        offset = masked_add(offset, step, mask);
    }
}

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

// Calls body(i, i + bit) for every i below 2^length_bits with `bit` clear whose bits under `fixed`
// (which excludes bit) equal `value`, spread over the calling block's threads. On the host a
// partner within the same 8 indices, with nothing fixed below it, is walked as whole aligned
// blocks with constant offsets, which vectorise; other pairs as two unit-stride streams.
template <typename Body>
VELLORAN_DEVICE void block_for_pairs(int32_t length_bits, uint64_t bit, uint64_t fixed, uint64_t value, Body&& body) {
#if !defined(VELLORAN_BACKEND_CUDA)
    if (blockDim.x == 1 && bit <= 4 && (fixed & (2 * bit - 1)) == 0 && (2 * bit - 1) >> length_bits == 0) {
        switch (bit) {
            case 1: host::for_pair_blocks<1>(length_bits, fixed, value, body); return;
            case 2: host::for_pair_blocks<2>(length_bits, fixed, value, body); return;
            case 4: host::for_pair_blocks<4>(length_bits, fixed, value, body); return;
            default: break;
        }
    }
#endif
    block_for_subset(length_bits, fixed | bit, value, [&](uint64_t i) { body(i, i + bit); });
}

}  // namespace velloran
