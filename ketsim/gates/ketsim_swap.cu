// The SWAP gate: exchanges qubits t0 and t1, optionally under controls. A work item is a quadruple
// of indices sharing every bit but t0 and t1; only the |01> and |10> members move, so every
// kernel moves data without arithmetic and all modes give bit-identical states.
#include <algorithm>

#include "../../common/block_loops.h"
#include "../../common/device_access.h"
#include "gate_launchers.h"
#include "single_qubit_gate.h"

namespace ketsim {

namespace {

template <typename T>
VELLORAN_DEVICE void exchange(CuComplex<T>* state, uint64_t i, uint64_t j) {
    const CuComplex<T> a = velloran::load_amplitude(state + i);
    const CuComplex<T> b = velloran::load_amplitude(state + j);
    velloran::store_amplitude(state + i, b);
    velloran::store_amplitude(state + j, a);
}

// One thread per quadruple below 2^(n-2), grid-stride, controls tested on each; `base` is its
// |00> member, and the |01> and |10> members trade places. On the host they read as two streams.
template <typename T>
VELLORAN_DEVICE void scan_quadruples(int64_t n, CuComplex<T>* state, int32_t t0, int32_t t1, uint64_t control_mask,
                                     uint64_t control_value) {
    const uint64_t b0 = uint64_t{1} << t0;
    const uint64_t b1 = uint64_t{1} << t1;
    const velloran::IndexStreams<CuComplex<T>> streams{state, {b0, b1}, 2};
    velloran::for_grid_stride_index_where(uint64_t{1} << (n - 2), b0 | b1, 0, control_mask, control_value, streams,
                                          [=](uint64_t base) { exchange(state, base + b1, base + b0); });
}

// The quadruple (base, base + 1, base | h, base | h | 1) of a swap with qubit 0: the amplitude at
// base + 1 and the adjacent pair at base | h are each one vector access; the |11> amplitude is
// written back unchanged.
template <typename T>
VELLORAN_DEVICE void exchange_with_qubit0(CuComplex<T>* state, uint64_t base, uint64_t h) {
    const CuComplex<T> low = velloran::load_amplitude(state + base + 1);
    velloran::AmplitudePair<T> high = velloran::load_pair(state + base + h);
    velloran::store_amplitude(state + base + 1, high.lo);
    high.lo = low;
    velloran::store_pair(state + base + h, high);
}

// One index per quadruple whose bits under `insert_mask` (both targets and the controls) read
// `set_bits`; the |01> and |10> amplitudes trade places. Consecutive bases read as two unit-stride
// streams on the host. (Scanning every quadruple and testing the controls on each, as the other
// modes do, took a controlled swap ten times as long as an uncontrolled one there.)
template <typename T>
__global__ void swap_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                             uint64_t b0, uint64_t b1) {
    const velloran::IndexStreams<CuComplex<T>> streams{state, {b0, b1}, 2};
    velloran::for_thread_index(count, insert_mask, set_bits, streams,
                               [=](uint64_t base) { exchange(state, base + b1, base + b0); });
}

// `h` is the bit of the target that is not qubit 0; `insert_mask` holds both targets and the controls.
template <typename T>
__global__ void swap_target0_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                                     uint64_t h) {
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, h}, 2};
    velloran::for_thread_index(count, insert_mask, set_bits, streams,
                               [=](uint64_t base) { exchange_with_qubit0(state, base, h); });
}

// A lower target on qubit 1 or 2 (`Low`): one index per aligned block of 2^(Low + 1) amplitudes
// with the upper target's bit `h` clear. The block's upper half (lower target set) trades places
// with the 2^Low amplitudes at h (upper target set), all as vector accesses at constant offsets,
// so that on the host a run of blocks is one contiguous stretch; a per-quadruple walk there kept
// runs of two indices, which ran scalar. `insert_mask` holds the block, h and the controls.
template <typename T, int Low>
__global__ void swap_low_target_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                                        uint64_t h) {
    static_assert(Low == 1 || Low == 2, "qubit 0 has its own kernel; blocks hold at most 8 amplitudes");
    constexpr uint64_t half = uint64_t{1} << Low;
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, h}, 2};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t j) {
        VELLORAN_UNROLL
        for (uint64_t i = 0; i < half; i += 2) {
            const velloran::AmplitudePair<T> low = velloran::load_pair(state + j + half + i);
            const velloran::AmplitudePair<T> high = velloran::load_pair(state + j + h + i);
            velloran::store_pair(state + j + half + i, high);
            velloran::store_pair(state + j + h + i, low);
        }
    });
}

}  // namespace

template <typename T>
__global__ void cu_swap_kernel_all_state(int64_t n, CuComplex<T>* state, int32_t t0, int32_t t1,
                                         uint64_t control_mask, uint64_t control_value) {
    const uint64_t b0 = uint64_t{1} << t0;
    const uint64_t b1 = uint64_t{1} << t1;
    const velloran::IndexStreams<CuComplex<T>> streams{state, {b0, b1}, 2};
    // The |00> members whose controls match: the launcher has checked that the targets differ and
    // that no control is a target.
    velloran::for_matching_grid_stride_index(uint64_t{1} << n, control_mask | b0 | b1, control_value, streams,
                                             [=](uint64_t base) { exchange(state, base + b1, base + b0); });
}

// Launched with threads for 2^(n-1) items; those beyond 2^(n-2) leave at once.
template <typename T>
__global__ void cu_swap_kernel_pair(int64_t n, CuComplex<T>* state, int32_t t0, int32_t t1, uint64_t control_mask,
                                    uint64_t control_value) {
    scan_quadruples(n, state, t0, t1, control_mask, control_value);
}

template <typename T>
void cu_swap(uint64_t n, CuComplex<T>* state, int32_t t0, int32_t t1, const std::vector<int64_t>& controls,
             const std::vector<int64_t>& control_state, cudaStream_t stream, KernelMode mode) {
    using velloran::grid_for;
    using velloran::launch_indexed_kernel;
    const ControlMasks masks = build_control_masks(controls, control_state);
    // Two distinct targets below n, neither a control: from here on n >= 2 + controls.size().
    validate_gate_qubits(n, std::vector<int64_t>{t0, t1}, controls);
    const uint64_t b0 = uint64_t{1} << t0;
    const uint64_t b1 = uint64_t{1} << t1;
    const uint64_t both = b0 | b1;
    const int64_t qubits = static_cast<int64_t>(n);
    const dim3 block(kGateBlock);
    if (mode == KernelMode::AllState) {
        launch_indexed_kernel<&cu_swap_kernel_all_state<T>>(dim3(grid_for(uint64_t{1} << n, kGateBlock)), block, 0,
                                                            stream, qubits, state, t0, t1, masks.control_mask,
                                                            masks.control_value);
    } else if (mode == KernelMode::PairAuto) {
        const uint64_t count = uint64_t{1} << (n - 2 - controls.size());
        const dim3 grid(grid_for(count, kGateBlock));
        const uint64_t insert_mask = masks.control_mask | both;
        const uint64_t set_bits = masks.control_value & ~both;
        const int32_t low = std::min(t0, t1);
        const uint64_t h = uint64_t{1} << std::max(t0, t1);
        const uint64_t block_mask = (uint64_t{2} << low) - 1;
        const auto launch_low = [&](auto low_target) {
            const uint64_t blocks = count >> low;
            launch_indexed_kernel<&swap_low_target_compact<T, decltype(low_target)::value>>(
                dim3(grid_for(blocks, kGateBlock)), block, 0, stream, blocks, state,
                masks.control_mask | block_mask | h, set_bits, h);
        };
        if (low == 0) {
            launch_indexed_kernel<&swap_target0_compact<T>>(grid, block, 0, stream, count, state, insert_mask, set_bits,
                                                            h);
        } else if ((low == 1 || (low == 2 && (sizeof(CuComplex<T>) << low) >= velloran::kMemoryUnitBytes)) &&
                   h > 4 && (masks.control_mask & block_mask) == 0) {
            // On qubit 2 the quadruple walk's runs of four are as fast where they fill less than a
            // memory unit (complex64 on the host: SWAP(2, 8) 0.63 ms against 0.84 in blocks), and
            // so is SWAP(1, 2) (1.25 ms against 1.86).
            if (low == 1) {
                launch_low(std::integral_constant<int, 1>{});
            } else {
                launch_low(std::integral_constant<int, 2>{});
            }
        } else {
            launch_indexed_kernel<&swap_compact<T>>(grid, block, 0, stream, count, state, insert_mask, set_bits, b0, b1);
        }
    } else {
        launch_indexed_kernel<&cu_swap_kernel_pair<T>>(dim3(grid_for(uint64_t{1} << (n - 1), kGateBlock)), block, 0,
                                                       stream, qubits, state, t0, t1, masks.control_mask,
                                                       masks.control_value);
    }
    velloran::check_launch("cu_swap kernel launch failed: ");
}

template void cu_swap<float>(uint64_t, CuComplex<float>*, int32_t, int32_t, const std::vector<int64_t>&,
                             const std::vector<int64_t>&, cudaStream_t, KernelMode);
template void cu_swap<double>(uint64_t, CuComplex<double>*, int32_t, int32_t, const std::vector<int64_t>&,
                              const std::vector<int64_t>&, cudaStream_t, KernelMode);

}  // namespace ketsim
