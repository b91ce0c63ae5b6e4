// The launch machinery of every single-target gate: the kernel bodies of the three families
// (all-state, pair, AutoPair), the macro that names one gate's kernels, and the launcher that picks
// a kernel by KernelMode, target and controls.
//
// A gate family `Gate` supplies:
//   template <class T> struct Generic;   argument of the all-state and pair kernels
//   template <class T> struct Auto;      argument of the AutoPair kernels, prepared on the host
//   static constexpr bool kHighOnly;     only the |1> amplitude is read and written
//   static constexpr bool kScanControlled;  PairAuto with controls off qubit 0 scans the state
//   prepare(Generic) -> coefficients used by apply_generic (per-thread device work)
//   apply_generic(a0, a1, coefficients) and apply_auto(a0, a1, Auto)
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "../../common/block_loops.h"
#include "../../common/cu_complex.h"
#include "../../common/cuda_check.h"
#include "../../common/device_access.h"
#include "../../common/launch.h"
#include "../gate_record.h"
#include "control_masks.h"
#include "index_bits.h"

namespace ketsim {

constexpr unsigned int kGateBlock = 256;

// An argument for kernels that need none.
struct NoArgs {};

namespace single_qubit {

enum class Variant { Generic, Auto };

template <class Gate, Variant V, class T, class C>
VELLORAN_DEVICE void apply(CuComplex<T>& a0, CuComplex<T>& a1, const C& c) {
    if constexpr (V == Variant::Generic) {
        Gate::apply_generic(a0, a1, c);
    } else {
        Gate::apply_auto(a0, a1, c);
    }
}

// Controls on the qubits below kMemoryUnitBytes that an AutoPair kernel tests per pair instead of
// leaving them out of its walk: a pair whose |0> index j has other bits under `mask` than `value`
// is written back unchanged, so the walk keeps runs of consecutive indices across those qubits.
struct BlendedControls {
    uint64_t mask = 0;
    uint64_t value = 0;
    VELLORAN_HD bool match(uint64_t j) const { return (j & mask) == value; }
};

// The kernels that test no control per pair: every pair they visit is updated.
struct AllPairs {
    VELLORAN_HD constexpr bool match(uint64_t) const { return true; }
};

// Blended controls of a kernel whose blocks hold all their qubits: bit p of `positions` says
// whether the pair whose |0> amplitude sits at position p of a block is updated. The same in
// every block, so the walk's loops keep it in registers.
struct BlockControls {
    uint32_t positions = 0;
    VELLORAN_HD bool match(uint64_t position) const { return ((positions >> position) & 1u) != 0; }
};

// The qubits of one memory unit of amplitudes of type T (units hold at most 8).
template <class T>
inline constexpr int kUnitQubits = velloran::kMemoryUnitBytes / sizeof(CuComplex<T>) >= 8   ? 3
                                   : velloran::kMemoryUnitBytes / sizeof(CuComplex<T>) >= 4 ? 2
                                   : velloran::kMemoryUnitBytes / sizeof(CuComplex<T>) >= 2 ? 1
                                                                                            : 0;

// a where `first`, else b, as a bitwise select: a conditional expression let the host compiler
// branch on `first` inside the walk's loop, which then ran scalar.
template <class T>
VELLORAN_HD CuComplex<T> choose(bool first, const CuComplex<T>& a, const CuComplex<T>& b) {
    using Bits = std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>;
    const Bits keep_a = Bits{0} - static_cast<Bits>(first);
    const auto pick = [keep_a](T x, T y) {
        Bits bx, by;
        memcpy(&bx, &x, sizeof(T));
        memcpy(&by, &y, sizeof(T));
        const Bits r = (bx & keep_a) | (by & ~keep_a);
        T out;
        memcpy(&out, &r, sizeof(T));
        return out;
    };
    return CuComplex<T>{pick(a.re, b.re), pick(a.im, b.im)};
}

// The value to store for the pair whose |0> index is j: `updated` where `match` takes j, else the
// amplitude as it was read.
template <class Match, class T>
VELLORAN_HD CuComplex<T> kept_unless_matched(const Match& match, uint64_t j, const CuComplex<T>& updated,
                                             const CuComplex<T>& read) {
    if constexpr (std::is_same_v<Match, AllPairs>) {
        return updated;
    } else {
        return choose(match.match(j), updated, read);
    }
}

// Updates the pair (j0, j1) where `match` takes j0; every input is read before any output is written.
template <class Gate, Variant V, class T, class C, class Match = AllPairs>
VELLORAN_DEVICE void update_pair(CuComplex<T>* state, uint64_t j0, uint64_t j1, const C& c,
                                 const Match& match = {}) {
    const CuComplex<T> a1 = velloran::load_amplitude(state + j1);
    CuComplex<T> b1 = a1;
    if constexpr (Gate::kHighOnly) {
        CuComplex<T> unused{};
        apply<Gate, V>(unused, b1, c);
    } else {
        const CuComplex<T> a0 = velloran::load_amplitude(state + j0);
        CuComplex<T> b0 = a0;
        apply<Gate, V>(b0, b1, c);
        velloran::store_amplitude(state + j0, kept_unless_matched(match, j0, b0, a0));
    }
    velloran::store_amplitude(state + j1, kept_unless_matched(match, j0, b1, a1));
}

// The all-state and pair kernels walk grid-stride (launched with launch_indexed_kernel). Partners
// are formed by adding the target bit, which the |0> index has clear, so that on the host
// consecutive pairs read as two unit-stride streams.
template <class Gate, class T, class G>
VELLORAN_DEVICE void all_state(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                               uint64_t control_value, const G& args) {
    const auto c = Gate::prepare(args);
    const uint64_t target_bit = uint64_t{1} << target;
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, target_bit}, 2};
    // The pairs' |0> indices whose controls match: the launchers have checked that no control is the
    // target.
    velloran::for_matching_grid_stride_index(uint64_t{1} << n, control_mask | target_bit, control_value, streams,
                                             [=](uint64_t i) {
        update_pair<Gate, Variant::Generic>(state, i, i + target_bit, c);
    });
}

template <class Gate, class T, class G>
VELLORAN_DEVICE void pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                          uint64_t control_value, const G& args) {
    const auto c = Gate::prepare(args);
    const uint64_t target_bit = uint64_t{1} << target;
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, target_bit}, 2};
    velloran::for_grid_stride_index_where(uint64_t{1} << (n - 1), target_bit, 0, control_mask, control_value, streams,
                                          [=](uint64_t j) {
        update_pair<Gate, Variant::Generic>(state, j, j + target_bit, c);
    });
}

// The AutoPair kernels take one index per thread through for_thread_index (launched with
// launch_indexed_kernel): the pairs whose bits under `insert_mask` (the target and the controls)
// read `set_bits`, with no controls a mask of the target alone. Pair partners are formed by adding
// the target bit, which the base has clear, so that consecutive bases read as unit-stride streams
// on the host.
template <class Gate, class T, class A>
VELLORAN_DEVICE void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                             uint64_t target_bit, const A& args) {
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, target_bit}, 2};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t j) {
        update_pair<Gate, Variant::Auto>(state, j, j + target_bit, args);
    });
}

// compact with the controls of `blend` tested per pair, and left out of `insert_mask`.
template <class Gate, class T, class A>
VELLORAN_DEVICE void blended_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                                     BlendedControls blend, uint64_t target_bit, const A& args) {
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, target_bit}, 2};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t j) {
        update_pair<Gate, Variant::Auto>(state, j, j + target_bit, args, blend);
    });
}

// A target below qubit 3 (`Low`): one index per aligned block of 2^BlockQubits amplitudes, whose
// pairs (i, i + 2^Low) are moved with vector accesses. The partner offsets are constants, so on
// the host a run of blocks is one contiguous stretch that the compiler vectorises whole.
// `insert_mask` holds the block's qubits and the controls left to the walk. Without controls in
// the block, blocks hold one pair of halves (BlockQubits = Low + 1, `match` AllPairs); with
// them, a memory unit (BlockControls), and a pair whose position `match` refuses is written back
// as it was.
template <class Gate, int Low, int BlockQubits, class T, class A, class Match>
VELLORAN_DEVICE void low_target_blocks(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                                       const A& args, const Match& match) {
    static_assert(Low >= 0 && Low < BlockQubits && BlockQubits <= 3, "blocks hold at most 8 amplitudes");
    constexpr uint64_t size = uint64_t{1} << BlockQubits;
    constexpr uint64_t half = uint64_t{1} << Low;
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0}, 1};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t j) {
        VELLORAN_UNROLL
        for (uint64_t first = 0; first < size; first += 2 * half) {
            CuComplex<T>* const block = state + j + first;
            if constexpr (Low == 0 && Gate::kHighOnly) {
                const CuComplex<T> a1 = velloran::load_amplitude(block + 1);
                CuComplex<T> b1 = a1;
                CuComplex<T> unused{};
                apply<Gate, Variant::Auto>(unused, b1, args);
                velloran::store_amplitude(block + 1, kept_unless_matched(match, first, b1, a1));
            } else if constexpr (Low == 0) {
                const velloran::AmplitudePair<T> p = velloran::load_pair(block);
                velloran::AmplitudePair<T> q = p;
                apply<Gate, Variant::Auto>(q.lo, q.hi, args);
                velloran::store_pair(block, velloran::AmplitudePair<T>{kept_unless_matched(match, first, q.lo, p.lo),
                                                                       kept_unless_matched(match, first, q.hi, p.hi)});
            } else {
                VELLORAN_UNROLL
                for (uint64_t i = 0; i < half; i += 2) {
                    const uint64_t at = first + i;  // position of the two pairs' |0> amplitudes
                    const velloran::AmplitudePair<T> hi = velloran::load_pair(block + half + i);
                    velloran::AmplitudePair<T> out_hi = hi;
                    if constexpr (Gate::kHighOnly) {
                        CuComplex<T> unused{};
                        apply<Gate, Variant::Auto>(unused, out_hi.lo, args);
                        apply<Gate, Variant::Auto>(unused, out_hi.hi, args);
                    } else {
                        const velloran::AmplitudePair<T> lo = velloran::load_pair(block + i);
                        velloran::AmplitudePair<T> out_lo = lo;
                        apply<Gate, Variant::Auto>(out_lo.lo, out_hi.lo, args);
                        apply<Gate, Variant::Auto>(out_lo.hi, out_hi.hi, args);
                        velloran::store_pair(block + i, velloran::AmplitudePair<T>{
                                                             kept_unless_matched(match, at, out_lo.lo, lo.lo),
                                                             kept_unless_matched(match, at + 1, out_lo.hi, lo.hi)});
                    }
                    velloran::store_pair(block + half + i,
                                         velloran::AmplitudePair<T>{kept_unless_matched(match, at, out_hi.lo, hi.lo),
                                                                    kept_unless_matched(match, at + 1, out_hi.hi, hi.hi)});
                }
            }
        }
    });
}

// The qubits of a block of a blended target below qubit 3: a memory unit, or more where the
// target's pairs need more.
constexpr int blended_block_qubits(int unit_qubits, int target) {
    return unit_qubits > target + 1 ? unit_qubits : target + 1;
}

// `blend` for the positions of a block of 2^block_qubits amplitudes that holds all its controls.
inline BlockControls block_controls(const BlendedControls& blend, int block_qubits) {
    BlockControls block;
    for (uint32_t p = 0; p < (1u << block_qubits); ++p) block.positions |= uint32_t{blend.match(p)} << p;
    return block;
}

template <class T, int Low>
inline constexpr int kBlendedBlockQubits = blended_block_qubits(kUnitQubits<T>, Low);

// One thread per index; works from the |0> index of each matching pair.
template <class Gate, class T, class A>
VELLORAN_DEVICE void state_scan(uint64_t count, CuComplex<T>* state, uint64_t target_bit, uint64_t control_mask,
                                uint64_t control_value, const A& args) {
    velloran::for_matching_thread_index(count, target_bit | control_mask, control_value, [=](uint64_t i) {
        update_pair<Gate, Variant::Auto>(state, i, i + target_bit, args);
    });
}

}  // namespace single_qubit

// Names the kernels of one single-target gate `g` (arithmetic in `Gate`) and gathers them in the
// kernel table `g##_kernels` that the launcher reads.
#define KETSIM_SINGLE_QUBIT_KERNELS(g, Gate)                                                                       \
    template <typename T>                                                                                          \
    __global__ void cu_##g##_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t target,                      \
                                              uint64_t control_mask, uint64_t control_value,                       \
                                              typename Gate::template Generic<T> args) {                           \
        single_qubit::all_state<Gate>(n, state, target, control_mask, control_value, args);                        \
    }                                                                                                              \
    template <typename T>                                                                                          \
    __global__ void cu_##g##_kernel_pair(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,   \
                                         uint64_t control_value, typename Gate::template Generic<T> args) {       \
        single_qubit::pair<Gate>(n, state, target, control_mask, control_value, args);                             \
    }                                                                                                              \
    namespace g##_autopair {                                                                                       \
    template <typename T>                                                                                          \
    __global__ void compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,          \
                            uint64_t target_bit, typename Gate::template Auto<T> args) {                           \
        single_qubit::compact<Gate>(count, state, insert_mask, set_bits, target_bit, args);                        \
    }                                                                                                              \
    template <typename T>                                                                                          \
    __global__ void blended_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,  \
                                    single_qubit::BlendedControls blend, uint64_t target_bit,                      \
                                    typename Gate::template Auto<T> args) {                                        \
        single_qubit::blended_compact<Gate>(count, state, insert_mask, set_bits, blend, target_bit, args);         \
    }                                                                                                              \
    template <typename T, int Low>                                                                                 \
    __global__ void low_target_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,                  \
                                       uint64_t set_bits, typename Gate::template Auto<T> args) {                  \
        single_qubit::low_target_blocks<Gate, Low, Low + 1>(count, state, insert_mask, set_bits, args,             \
                                                            single_qubit::AllPairs{});                             \
    }                                                                                                              \
    template <typename T, int Low>                                                                                 \
    __global__ void blended_low_target_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,          \
                                               uint64_t set_bits, single_qubit::BlockControls blend,               \
                                               typename Gate::template Auto<T> args) {                             \
        single_qubit::low_target_blocks<Gate, Low, single_qubit::kBlendedBlockQubits<T, Low>>(                  \
            count, state, insert_mask, set_bits, args, blend);                                                     \
    }                                                                                                              \
    template <typename T>                                                                                          \
    __global__ void state_scan(uint64_t count, CuComplex<T>* state, uint64_t target_bit, uint64_t control_mask,    \
                               uint64_t control_value, typename Gate::template Auto<T> args) {                     \
        single_qubit::state_scan<Gate>(count, state, target_bit, control_mask, control_value, args);               \
    }                                                                                                              \
    }                                                                                                              \
    struct g##_kernels {                                                                                           \
        using gate = Gate;                                                                                         \
        template <typename T>                                                                                      \
        static constexpr auto all_state = &cu_##g##_kernel_all_state<T>;                                           \
        template <typename T>                                                                                      \
        static constexpr auto pair = &cu_##g##_kernel_pair<T>;                                                     \
        template <typename T>                                                                                      \
        static constexpr auto compact = &g##_autopair::compact<T>;                                                 \
        template <typename T>                                                                                      \
        static constexpr auto blended_compact = &g##_autopair::blended_compact<T>;                                 \
        template <typename T, int Low>                                                                             \
        static constexpr auto low_target_compact = &g##_autopair::low_target_compact<T, Low>;                      \
        template <typename T, int Low>                                                                             \
        static constexpr auto blended_low_target_compact = &g##_autopair::blended_low_target_compact<T, Low>;      \
        template <typename T>                                                                                      \
        static constexpr auto state_scan = &g##_autopair::state_scan<T>;                                           \
    };

// The controls of `masks` on qubits closer to qubit 0 than one memory unit of amplitudes, where at
// least two amplitudes of each unit change; none where fewer do, since the walk's strided runs then
// already move each unit once, and a blend would work out the gate for the whole unit.
template <class T>
single_qubit::BlendedControls blended_controls(const ControlMasks& masks) {
    constexpr int unit_bits = single_qubit::kUnitQubits<T>;
    const uint64_t mask = masks.control_mask & ((uint64_t{1} << unit_bits) - 1);
    if (velloran::bit_count(mask) + 1 > unit_bits) return {};
    return single_qubit::BlendedControls{mask, masks.control_value & mask};
}

// The walk of a kernel that blends the controls of `blend`: the indices whose bits under
// `insert_mask` (`fixed` and the other controls) read `set_bits`, `count` of them.
struct BlendedWalk {
    uint64_t insert_mask;
    uint64_t set_bits;
    uint64_t count;
};

inline BlendedWalk blended_walk(uint64_t n, const ControlMasks& masks, const single_qubit::BlendedControls& blend,
                                uint64_t fixed) {
    const uint64_t walk_mask = masks.control_mask & ~blend.mask;
    return BlendedWalk{walk_mask | fixed, masks.control_value & walk_mask,
                       uint64_t{1} << (n - velloran::bit_count(walk_mask | fixed))};
}

// Picks and launches the kernel of one single-target gate whose controls (k of them, folded into
// `masks`) and target have already been checked. `generic` is what the all-state and pair kernels
// receive; `make_auto()` prepares the AutoPair argument on the host and runs only in PairAuto,
// after the mode test.
template <class Kernels, class T, class MakeAuto>
void launch_checked_single_qubit_gate(uint64_t n, CuComplex<T>* state, int32_t target, ControlMasks masks,
                                      uint64_t k, cudaStream_t stream, KernelMode mode, const char* launch_prefix,
                                      typename Kernels::gate::template Generic<T> generic, MakeAuto make_auto) {
    using Gate = typename Kernels::gate;
    using velloran::grid_for;
    using velloran::launch_indexed_kernel;
    const uint64_t target_bit = uint64_t{1} << target;
    const int64_t qubits = static_cast<int64_t>(n);
    const dim3 block(kGateBlock);
    if (mode == KernelMode::AllState) {
        launch_indexed_kernel<Kernels::template all_state<T>>(dim3(grid_for(uint64_t{1} << n, kGateBlock)), block, 0,
                                                              stream, qubits, state, target, masks.control_mask,
                                                              masks.control_value, generic);
    } else if (mode == KernelMode::PairAuto) {
        const auto args = make_auto();
        const uint64_t count = uint64_t{1} << (n - 1 - k);
        const dim3 grid(grid_for(count, kGateBlock));
        const uint64_t insert_mask = masks.control_mask | target_bit;
        const uint64_t set_bits = masks.control_value & ~target_bit;
        // Without controls the masks hold the target alone.
        const auto launch_compact = [&] {
            launch_indexed_kernel<Kernels::template compact<T>>(grid, block, 0, stream, count, state, insert_mask,
                                                                set_bits, target_bit, args);
        };
        // Controls whose amplitudes share a memory unit are tested per pair (blended) instead of
        // walked around, so that the walk keeps runs of consecutive pairs; a scanning gate with
        // controls blends only where all of them are such. Targets 0 to 2 take blocks of
        // 2^(target + 1) amplitudes unless a control inside the block is not blended; a scanning
        // gate with controls keeps its scan above qubit 0.
        const uint64_t block_mask = (target_bit << 1) - 1;
        const bool scans = Gate::kScanControlled && k != 0;
        const single_qubit::BlendedControls blend = blended_controls<T>(masks);
        const bool blends = blend.mask != 0 && (!scans || blend.mask == masks.control_mask);
        const int blended_block = single_qubit::blended_block_qubits(single_qubit::kUnitQubits<T>, target);
        // Calls launch with the target as a constant.
        const auto with_low_target = [&](auto launch) {
            switch (target) {
                case 0: launch(std::integral_constant<int, 0>{}); break;
                case 1: launch(std::integral_constant<int, 1>{}); break;
                default: launch(std::integral_constant<int, 2>{}); break;
            }
        };
        if (target > 2 && blends) {
            const BlendedWalk walk = blended_walk(n, masks, blend, target_bit);
            launch_indexed_kernel<Kernels::template blended_compact<T>>(
                dim3(grid_for(walk.count, kGateBlock)), block, 0, stream, walk.count, state, walk.insert_mask,
                walk.set_bits, blend, target_bit, args);
        } else if (blends && (target == 2 || !Gate::kHighOnly) && !(target == 0 && blend.mask == 2) &&
                   static_cast<uint64_t>(blended_block) <= n) {
            // Blocks of a memory unit at least hold every blended control, and those are all the
            // controls below the unit. A gate that changes only |1> amplitudes would store pieces
            // of each block (on qubit 0 or 1) that the host compiler did not vectorise: Z on 0
            // controlled by 1 took 1.7 ms against 1.0 walked around its control (complex64). A
            // target on qubit 0 controlled by qubit 1 alone walks every other pair at a constant
            // spacing, a little faster than the blend (X, complex128: 1.5 ms against 1.7). A state
            // smaller than a block keeps the other kernels.
            with_low_target([&](auto low) {
                constexpr int block_qubits = single_qubit::kBlendedBlockQubits<T, decltype(low)::value>;
                const BlendedWalk walk = blended_walk(n, masks, blend, (uint64_t{1} << block_qubits) - 1);
                launch_indexed_kernel<Kernels::template blended_low_target_compact<T, decltype(low)::value>>(
                    dim3(grid_for(walk.count, kGateBlock)), block, 0, stream, walk.count, state, walk.insert_mask,
                    walk.set_bits, single_qubit::block_controls(blend, block_qubits), args);
            });
        } else if (target <= 2 && (masks.control_mask & block_mask) == 0 && (target == 0 || !scans)) {
            const BlendedWalk walk = blended_walk(n, masks, {}, block_mask);
            with_low_target([&](auto low) {
                launch_indexed_kernel<Kernels::template low_target_compact<T, decltype(low)::value>>(
                    dim3(grid_for(walk.count, kGateBlock)), block, 0, stream, walk.count, state, walk.insert_mask,
                    walk.set_bits, args);
            });
        } else if constexpr (Gate::kScanControlled) {
            if (k == 0) {
                launch_compact();
            } else {
                const uint64_t all = uint64_t{1} << n;
                launch_indexed_kernel<Kernels::template state_scan<T>>(dim3(grid_for(all, kGateBlock)), block, 0,
                                                                       stream, all, state, target_bit,
                                                                       masks.control_mask, masks.control_value, args);
            }
        } else {
            launch_compact();
        }
    } else {
        launch_indexed_kernel<Kernels::template pair<T>>(dim3(grid_for(uint64_t{1} << (n - 1), kGateBlock)), block, 0,
                                                         stream, qubits, state, target, masks.control_mask,
                                                         masks.control_value, generic);
    }
    velloran::check_launch(launch_prefix);
}

// Checks the control list and the qubits, then launches as above.
template <class Kernels, class T, class MakeAuto>
void launch_single_qubit_gate(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
                              const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode,
                              const char* launch_prefix, typename Kernels::gate::template Generic<T> generic,
                              MakeAuto make_auto) {
    const ControlMasks masks = build_control_masks(controls, control_state);
    validate_gate_qubits(n, target, controls);
    launch_checked_single_qubit_gate<Kernels, T>(n, state, target, masks, controls.size(), stream, mode,
                                                 launch_prefix, generic, make_auto);
}

// The launcher of a gate without angles.
template <class Kernels, class T>
void launch_fixed_gate(uint64_t n, CuComplex<T>* state, int32_t target, const std::vector<int64_t>& controls,
                       const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode,
                       const char* launch_prefix) {
    launch_single_qubit_gate<Kernels, T>(n, state, target, controls, control_state, stream, mode, launch_prefix,
                                         NoArgs{}, [] { return NoArgs{}; });
}

// Explicit instantiations of a fixed gate's launcher for both precisions.
#define KETSIM_INSTANTIATE_FIXED_LAUNCHER(name)                                                                    \
    template void name<float>(uint64_t, CuComplex<float>*, int32_t, const std::vector<int64_t>&,                  \
                              const std::vector<int64_t>&, cudaStream_t, KernelMode);                              \
    template void name<double>(uint64_t, CuComplex<double>*, int32_t, const std::vector<int64_t>&,                \
                               const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace ketsim
