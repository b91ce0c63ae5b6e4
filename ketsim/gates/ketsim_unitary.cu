// The UNITARY gate: a caller's 2^m x 2^m matrix on m target qubits, with controls. One and two
// targets take the matrix by value (with AutoPair variants), three to five run in place with the
// matrix in device memory, six or more run out of place against a scratch copy of the state.
#include "ketsim_unitary.h"

#include <algorithm>
#include <stdexcept>

#include "../../common/block_loops.h"
#include "../../common/device_buffer.h"
#include "gate_launchers.h"
#include "single_qubit_gate.h"

namespace ketsim {

// ---- One target: the single-qubit machinery with the matrix as argument ----

namespace {

struct Unitary1qGate {
    template <class T>
    using Generic = Unitary2x2<T>;
    template <class T>
    using Auto = Unitary2x2<T>;
    static constexpr bool kHighOnly = false;
    static constexpr bool kScanControlled = false;
    template <class T>
    static VELLORAN_HD Unitary2x2<T> prepare(const Unitary2x2<T>& u) {
        return u;
    }
    template <class T>
    static VELLORAN_HD void apply_generic(CuComplex<T>& a0, CuComplex<T>& a1, const Unitary2x2<T>& u) {
        const CuComplex<T> b0 = mul_add(u.u00, a0, u.u01, a1);
        a1 = mul_add(u.u10, a0, u.u11, a1);
        a0 = b0;
    }
    template <class T>
    static VELLORAN_HD void apply_auto(CuComplex<T>& a0, CuComplex<T>& a1, const Unitary2x2<T>& u) {
        apply_generic(a0, a1, u);
    }
};

}  // namespace

template <typename T>
__global__ void cu_unitary_1q_inplace_kernel(int64_t n, CuComplex<T>* state, int32_t target, uint64_t control_mask,
                                             uint64_t control_value, Unitary2x2<T> u) {
    single_qubit::pair<Unitary1qGate>(n, state, target, control_mask, control_value, u);
}

template <typename T>
__global__ void unitary_1q_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                                   uint64_t target_bit, Unitary2x2<T> u) {
    single_qubit::compact<Unitary1qGate>(count, state, insert_mask, set_bits, target_bit, u);
}

template <typename T>
__global__ void unitary_1q_blended_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                           uint64_t set_bits, single_qubit::BlendedControls blend,
                                           uint64_t target_bit, Unitary2x2<T> u) {
    single_qubit::blended_compact<Unitary1qGate>(count, state, insert_mask, set_bits, blend, target_bit, u);
}

template <typename T, int Low>
__global__ void unitary_1q_low_target_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                              uint64_t set_bits, Unitary2x2<T> u) {
    single_qubit::low_target_blocks<Unitary1qGate, Low, Low + 1>(count, state, insert_mask, set_bits, u,
                                                                 single_qubit::AllPairs{});
}

template <typename T, int Low>
__global__ void unitary_1q_blended_low_target_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                                      uint64_t set_bits, single_qubit::BlockControls blend,
                                                      Unitary2x2<T> u) {
    single_qubit::low_target_blocks<Unitary1qGate, Low, single_qubit::kBlendedBlockQubits<T, Low>>(
        count, state, insert_mask, set_bits, u, blend);
}

namespace {

// Every mode but PairAuto runs the in-place pair kernel, so the all-state slot names it too (the
// launcher below never asks for AllState).
struct unitary_1q_kernels {
    using gate = Unitary1qGate;
    template <typename T>
    static constexpr auto all_state = &cu_unitary_1q_inplace_kernel<T>;
    template <typename T>
    static constexpr auto pair = &cu_unitary_1q_inplace_kernel<T>;
    template <typename T>
    static constexpr auto compact = &unitary_1q_compact<T>;
    template <typename T>
    static constexpr auto blended_compact = &unitary_1q_blended_compact<T>;
    template <typename T, int Low>
    static constexpr auto low_target_compact = &unitary_1q_low_target_compact<T, Low>;
    template <typename T, int Low>
    static constexpr auto blended_low_target_compact = &unitary_1q_blended_low_target_compact<T, Low>;
};

}  // namespace

// ---- Two targets, matrix by value ----

// A 4x4 matrix with its real and imaginary parts apart, the imaginary part once for each output
// component: imag[r][c][0] = -Im M(r, c), imag[r][c][1] = Im M(r, c), so that component l of row r
// is  sum_c real[r][c] a_c[l] + imag[r][c][l] a_c[1 - l],  the same expression for both components.
// On the host the compiler then keeps amplitudes interleaved, forming a_c[1 - l] with one swap within
// each amplitude instead of separating real and imaginary parts.
template <typename T>
struct SplitMatrix4 {
    T real[4][4];
    T imag[4][4][2];
};

template <typename T>
VELLORAN_HD SplitMatrix4<T> split_matrix(const Unitary4x4<T>& u) {
    SplitMatrix4<T> m;
    VELLORAN_UNROLL
    for (int r = 0; r < 4; ++r) {
        VELLORAN_UNROLL
        for (int c = 0; c < 4; ++c) {
            m.real[r][c] = u.m[r * 4 + c].re;
            m.imag[r][c][0] = -u.m[r * 4 + c].im;
            m.imag[r][c][1] = u.m[r * 4 + c].im;
        }
    }
    return m;
}

namespace {

// The quadruple at p + offsets[c] is matrix index c; all four amplitudes are loaded before the first
// store, and written back unchanged where not `on`. Bases have both target bits clear, so offsets
// are added: a walk over consecutive bases then reads as four unit-stride streams, which the host
// compiler vectorises.
template <typename T>
VELLORAN_DEVICE void apply_split_quad(CuComplex<T>* p, const uint64_t (&offsets)[4], const SplitMatrix4<T>& m,
                                      bool on = true) {
    T a[4][2];
    VELLORAN_UNROLL
    for (int c = 0; c < 4; ++c) {
        const CuComplex<T> v = velloran::load_amplitude(p + offsets[c]);
        a[c][0] = v.re;
        a[c][1] = v.im;
    }
    VELLORAN_UNROLL
    for (int r = 0; r < 4; ++r) {
        T out[2];
        VELLORAN_UNROLL
        for (int l = 0; l < 2; ++l) {
            T re_part = m.real[r][0] * a[0][l];
            T im_part = m.imag[r][0][l] * a[0][1 - l];
            VELLORAN_UNROLL
            for (int c = 1; c < 4; ++c) {
                re_part += m.real[r][c] * a[c][l];
                im_part += m.imag[r][c][l] * a[c][1 - l];
            }
            out[l] = re_part + im_part;
        }
        velloran::store_amplitude(p + offsets[r],
                                  single_qubit::choose(on, CuComplex<T>{out[0], out[1]}, CuComplex<T>{a[r][0], a[r][1]}));
    }
}

}  // namespace

template <typename T>
__global__ void cu_unitary_2q_inplace_kernel(int64_t n, CuComplex<T>* state, int32_t t0, int32_t t1,
                                             uint64_t control_mask, uint64_t control_value, Unitary4x4<T> u) {
    // The split form is made here rather than passed: it is half as large again as the complex
    // matrix.
    const SplitMatrix4<T> m = split_matrix(u);
    const uint64_t b0 = uint64_t{1} << t0;
    const uint64_t b1 = uint64_t{1} << t1;
    const uint64_t offsets[4] = {0, b0, b1, b0 + b1};
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, b0, b1, b0 + b1}, 4};
    velloran::for_grid_stride_index_where(uint64_t{1} << (n - 2), b0 | b1, 0, control_mask, control_value, streams,
                                          [=](uint64_t base) { apply_split_quad(state + base, offsets, m); });
}

template <typename T>
__global__ void unitary_2q_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask, uint64_t set_bits,
                                   uint64_t b0, uint64_t b1, SplitMatrix4<T> m) {
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, b0, b1, b0 + b1}, 4};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t base) {
        const uint64_t offsets[4] = {0, b0, b1, b0 + b1};
        apply_split_quad(state + base, offsets, m);
    });
}

// unitary_2q_compact with the controls of `blend` tested per quadruple, and left out of `insert_mask`.
template <typename T>
__global__ void unitary_2q_blended_compact(uint64_t count, CuComplex<T>* state, uint64_t insert_mask,
                                           uint64_t set_bits, single_qubit::BlendedControls blend, uint64_t b0,
                                           uint64_t b1, SplitMatrix4<T> m) {
    const velloran::IndexStreams<CuComplex<T>> streams{state, {0, b0, b1, b0 + b1}, 4};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t base) {
        const uint64_t offsets[4] = {0, b0, b1, b0 + b1};
        apply_split_quad(state + base, offsets, m, blend.match(base));
    });
}

// Two targets on qubits 0 to 2, or the lower (`Low`) on qubit 0 or 1 and the upper above qubit 2
// (High < 0): one index per block of eight amplitudes, four adjacent pairs at constant offsets
// (with the upper target above qubit 2, offsets from h). Lane v of a block is bit 0 of v on qubit 0
// and bits 1 and 2 on the two strides; every lane whose controls among the block's qubits hold
// (LaneMatrix::on) takes the same expression, and the others keep their amplitude,
//   out[v] = sum_f K[f][v] * in[v ^ f],   f over the four combinations of the two target bits,
// with lane coefficients K prepared on the host. The real and imaginary parts of K are summed
// apart, over both components of each input, and meet once at the end:
//   out.re = A.re - B.im, out.im = A.im + B.re,   A = sum_f Re K[f] * in[v ^ f], B likewise with Im K,
// so a block costs the host three lane permutes of the input (one of them between whole vector
// halves), one swap of B's components and sixteen fused multiply-adds.
template <int Low, int High>
struct TwoTargetLanes {
    static_assert(Low >= 0 && (High < 0 ? Low < 2 : High > Low && High < 3), "the targets' lanes fit in 8");
    // Lane bits of the two targets: the upper one is always lane bit 2 (for targets 0 and 1 lane
    // bits 1 and 2 stand for qubits 2 and 1, which keeps the targets' lanes four apart).
    static constexpr int kLowBit = High < 0 ? (Low == 0 ? 0 : 1) : Low;
    static constexpr int kHighBit = High < 0 || High == 1 ? 2 : High;
    // Strides of lane bits 1 and 2 (kStride2 0: h).
    static constexpr uint64_t kStride1 = High == 1 ? 4 : 2;
    static constexpr uint64_t kStride2 = High < 0 ? 0 : (High == 1 ? 2 : 4);
    // The qubits below 3 that the lanes hold (the upper target at h besides).
    static constexpr uint64_t kLaneQubits = High >= 0 ? 0b111 : 0b011;
};

template <typename T>
struct LaneMatrix {
    T real[4][16];     // Re K[f][v], at both of lane v's components
    T imag[4][16];     // Im K[f][v] at the real component, negated at the imaginary one
    uint32_t on;       // bit v: the controls on the block's qubits hold at lane v (else it is kept)
};

// ShortRuns: the upper target lies close above the block (High < 0), so that the walk's runs of
// consecutive blocks are short; the walk then calls the body block by block instead of vectorising
// across blocks. LaneControls: some lanes keep their amplitudes (a select that the uncontrolled
// kernel leaves out: within one block the host compiler did not vectorise it, and ran ten times
// slower; short runs with lane controls take the general kernel instead).
template <typename T, int Low, int High, bool ShortRuns, bool LaneControls>
__global__ void unitary_2q_lanes(uint64_t count, CuComplex<T>* state, uint64_t h, uint64_t insert_mask,
                                 uint64_t set_bits, LaneMatrix<T> k) {
    using Shape = TwoTargetLanes<Low, High>;
    const velloran::IndexStreams<CuComplex<T>, ShortRuns> streams{state, {0, h}, High < 0 ? 2 : 1};
    velloran::for_thread_index(count, insert_mask, set_bits, streams, [=](uint64_t base) {
        constexpr uint64_t stride1 = Shape::kStride1;
        const uint64_t stride2 = Shape::kStride2 == 0 ? h : Shape::kStride2;
        CuComplex<T>* const p = state + base;
        T in[16];
        VELLORAN_UNROLL
        for (int j = 0; j < 4; ++j) {
            const velloran::AmplitudePair<T> pair =
                velloran::load_pair(p + ((j & 1) ? stride1 : 0) + ((j & 2) ? stride2 : 0));
            in[4 * j] = pair.lo.re;
            in[4 * j + 1] = pair.lo.im;
            in[4 * j + 2] = pair.hi.re;
            in[4 * j + 3] = pair.hi.im;
        }
        // Component l of lane v is in[l]; its partner under flip f is in[l ^ 2f]. Each product is
        // added on its own, so that each sum is one chain of fused multiply-adds.
        T re_sum[16], im_sum[16];
        VELLORAN_UNROLL
        for (int f = 0; f < 4; ++f) {
            constexpr int low = 1 << Shape::kLowBit, high = 1 << Shape::kHighBit;
            const int flip = ((f & 1) ? low : 0) | ((f & 2) ? high : 0);
            VELLORAN_UNROLL
            for (int l = 0; l < 16; ++l) {
                const T x = in[l ^ (2 * flip)];
                re_sum[l] = f == 0 ? k.real[f][l] * x : re_sum[l] + k.real[f][l] * x;
                im_sum[l] = f == 0 ? k.imag[f][l] * x : im_sum[l] + k.imag[f][l] * x;
            }
        }
        CuComplex<T> out[8];
        VELLORAN_UNROLL
        for (int v = 0; v < 8; ++v) {
            out[v] = CuComplex<T>{re_sum[2 * v] + im_sum[2 * v + 1], re_sum[2 * v + 1] + im_sum[2 * v]};
            if constexpr (LaneControls) {
                out[v] = single_qubit::choose(((k.on >> v) & 1u) != 0, out[v], CuComplex<T>{in[2 * v], in[2 * v + 1]});
            }
        }
        VELLORAN_UNROLL
        for (int j = 0; j < 4; ++j) {
            velloran::store_pair(p + ((j & 1) ? stride1 : 0) + ((j & 2) ? stride2 : 0),
                                 velloran::AmplitudePair<T>{out[2 * j], out[2 * j + 1]});
        }
    });
}

namespace {

// The lane coefficients of `u` (matrix bit 0 on t0) for the block shape of the targets' order, with
// the lanes where `controls` (bits of the block's qubits below 3) read `value`.
template <typename T, int Low, int High>
LaneMatrix<T> lane_matrix(const Unitary4x4<T>& u, bool low_first, uint64_t controls, uint64_t value) {
    using Shape = TwoTargetLanes<Low, High>;
    LaneMatrix<T> k;
    k.on = 0;
    for (int v = 0; v < 8; ++v) {
        // Lane bit 0 is qubit 0, bits 1 and 2 the qubits of the two strides (the upper target's
        // stride is above qubit 2 and holds no control).
        const uint64_t bits = uint64_t(v & 1) | ((v & 2) ? Shape::kStride1 : 0) | ((v & 4) ? Shape::kStride2 : 0);
        k.on |= uint32_t{single_qubit::BlendedControls{controls, value}.match(bits)} << v;
    }
    // The matrix counts targets[0] in index bit 0.
    const auto matrix_index = [&](int lane) {
        const int low = (lane >> Shape::kLowBit) & 1;
        const int high = (lane >> Shape::kHighBit) & 1;
        return low_first ? low | (high << 1) : high | (low << 1);
    };
    for (int f = 0; f < 4; ++f) {
        const int flip = ((f & 1) << Shape::kLowBit) | ((f >> 1) << Shape::kHighBit);
        for (int v = 0; v < 8; ++v) {
            const CuComplex<T> entry = u.m[matrix_index(v) * 4 + matrix_index(v ^ flip)];
            k.real[f][2 * v] = entry.re;
            k.real[f][2 * v + 1] = entry.re;
            k.imag[f][2 * v] = entry.im;
            k.imag[f][2 * v + 1] = -entry.im;
        }
    }
    return k;
}

// Launches the lane kernel unless the block's qubits do not all lie in the state, or a control among
// them would be tested block by block (see ShortRuns); returns whether it did. Controls among the
// block's qubits are tested per lane (a walk around them would run in pieces of a block), the
// others walked around.
template <typename T, int Low, int High>
bool launch_unitary_2q_lanes(uint64_t n, CuComplex<T>* state, uint64_t h, uint64_t control_mask,
                             uint64_t control_value, const Unitary4x4<T>& u, bool low_first, cudaStream_t stream) {
    using Shape = TwoTargetLanes<Low, High>;
    const uint64_t lane_qubits = Shape::kLaneQubits | (High < 0 ? h : 0);
    if ((lane_qubits >> n) != 0) return false;
    const uint64_t lane_controls = control_mask & Shape::kLaneQubits;
    const uint64_t insert_mask = (control_mask & ~lane_controls) | lane_qubits;
    const uint64_t set_bits = control_value & control_mask & ~lane_controls;
    const uint64_t blocks = (uint64_t{1} << n) >> velloran::bit_count(insert_mask);
    const auto launch = [&](auto short_runs, auto tests_lanes) {
        constexpr auto kernel =
            &unitary_2q_lanes<T, Low, High, decltype(short_runs)::value, decltype(tests_lanes)::value>;
        velloran::launch_indexed_kernel<kernel>(dim3(velloran::grid_for(blocks, kGateBlock)), dim3(kGateBlock), 0,
                                                stream, blocks, state, h, insert_mask, set_bits,
                                                lane_matrix<T, Low, High>(u, low_first, lane_controls,
                                                                          control_value & lane_controls));
    };
    // Up to qubit 8 the blocks between the lane qubits and the upper target form runs of at most
    // 64, too short for the walk to vectorise across them (at 64 both ways are even, 20 qubits).
    if constexpr (High < 0) {
        if (h <= (uint64_t{1} << 8)) {
            if (lane_controls != 0) return false;
            launch(std::true_type{}, std::false_type{});
            return true;
        }
    }
    if (lane_controls != 0) {
        launch(std::false_type{}, std::true_type{});
    } else {
        launch(std::false_type{}, std::false_type{});
    }
    return true;
}

}  // namespace

// Chooses and launches the two-target AutoPair kernel; k is the number of controls. No checks, no
// synchronisation.
template <typename T>
void cu_unitary_2q_autopair(uint64_t n, CuComplex<T>* state, int32_t t0, int32_t t1, uint64_t control_mask,
                            uint64_t control_value, uint64_t k, const Unitary4x4<T>& u, cudaStream_t stream) {
    const uint64_t b0 = uint64_t{1} << t0;
    const uint64_t b1 = uint64_t{1} << t1;
    const uint64_t count = uint64_t{1} << (n - 2 - k);
    const uint64_t set_bits = control_value & ~(b0 | b1);
    const int32_t low = std::min(t0, t1);
    const int32_t high = std::max(t0, t1);
    const uint64_t h = uint64_t{1} << high;
    const bool low_first = t0 < t1;
    // The lanes hold both targets when they are on qubits 0 to 2, or qubits 0 and 1 and an upper
    // target above qubit 2. A lower target on qubit 2 with the upper one above it would leave qubit
    // 1 outside the lanes, in runs of two that the host walks no faster than the general kernel's.
    const auto lanes = [&](auto launch) {
        return launch(n, state, h, control_mask, control_value, u, low_first, stream);
    };
    bool launched = false;
    switch (high < 3 ? low * 4 + high : (low < 2 ? low * 4 + 3 : -1)) {
        case 1: launched = lanes(launch_unitary_2q_lanes<T, 0, 1>); break;
        case 2: launched = lanes(launch_unitary_2q_lanes<T, 0, 2>); break;
        case 3: launched = lanes(launch_unitary_2q_lanes<T, 0, -1>); break;
        case 6: launched = lanes(launch_unitary_2q_lanes<T, 1, 2>); break;
        case 7: launched = lanes(launch_unitary_2q_lanes<T, 1, -1>); break;
        default: break;
    }
    if (launched) return;
    // A lower target above qubit 1: controls whose amplitudes share a memory unit are tested per
    // quadruple instead of walked around, as for one target. Controls on both qubits 0 and 1 under
    // a target on qubit 2 leave the walk a constant spacing, as fast (complex64, (2, 8): 1.6 ms
    // walked, 1.85 blended; one of them walked around, 4.2).
    const single_qubit::BlendedControls blend =
        low > 2 || (low == 2 && (control_mask & 3) != 3) ? blended_controls<T>(ControlMasks{control_mask, control_value})
                                                         : single_qubit::BlendedControls{};
    if (blend.mask != 0) {
        const BlendedWalk walk = blended_walk(n, ControlMasks{control_mask, control_value}, blend, b0 | b1);
        velloran::launch_indexed_kernel<&unitary_2q_blended_compact<T>>(
            dim3(velloran::grid_for(walk.count, kGateBlock)), dim3(kGateBlock), 0, stream, walk.count, state,
            walk.insert_mask, walk.set_bits, blend, b0, b1, split_matrix(u));
        return;
    }
    velloran::launch_indexed_kernel<&unitary_2q_compact<T>>(dim3(velloran::grid_for(count, kGateBlock)),
                                                            dim3(kGateBlock), 0, stream, count, state,
                                                            control_mask | b0 | b1, set_bits, b0, b1,
                                                            split_matrix(u));
}

// ---- Three to five targets in place, six or more out of place ----

template <typename T, int K>
__global__ void cu_unitary_inplace_kernel(int64_t n, CuComplex<T>* state, const int64_t* targets,
                                          uint64_t control_mask, uint64_t control_value, const CuComplex<T>* matrix) {
    constexpr int D = 1 << K;
    int64_t local_targets[K];
    uint64_t target_mask = 0;
#pragma unroll
    for (int j = 0; j < K; ++j) {
        local_targets[j] = targets[j];
        target_mask |= uint64_t{1} << targets[j];
    }
    velloran::for_grid_stride_index_where(uint64_t{1} << (n - K), target_mask, 0, control_mask, control_value,
                                          [=](uint64_t base) {
        // All 2^K inputs are in registers before the first row is stored, so rows go straight out.
        CuComplex<T> a[D];
#pragma unroll
        for (int c = 0; c < D; ++c) a[c] = velloran::load_amplitude(state + (base | spread_matrix_index(c, local_targets, K)));
#pragma unroll
        for (int r = 0; r < D; ++r) {
            velloran::store_amplitude(state + (base | spread_matrix_index(r, local_targets, K)), dense_row(matrix, r, a));
        }
    });
}

// Four and five targets as tiles: a thread block stages the 2^K amplitudes of kUnitaryTileBases
// consecutive bases in shared memory, then writes each output amplitude as its row of the product
// from the staged inputs, so no thread holds 2^K amplitudes in registers. Loops stride by
// blockDim.x and meet at barriers; a base that fails the control test has the flag bit set.
constexpr uint64_t kUnitaryTileEntries = 1024;
constexpr uint64_t kSkippedBase = uint64_t{1} << 63;

template <typename T, int K>
__global__ void cu_unitary_tile_kernel(int64_t n, CuComplex<T>* state, const int64_t* targets,
                                       const int64_t* sorted_targets, uint64_t control_mask, uint64_t control_value,
                                       const CuComplex<T>* matrix) {
    constexpr uint64_t D = uint64_t{1} << K;
    constexpr uint64_t kBases = kUnitaryTileEntries / D;
    CuComplex<T>* tile = velloran::dynamic_shared<CuComplex<T>>();
    uint64_t* offsets = reinterpret_cast<uint64_t*>(tile + kUnitaryTileEntries);
    uint64_t* bases = offsets + D;
    for (uint64_t c = threadIdx.x; c < D; c += blockDim.x) {
        uint64_t o = 0;
        for (int j = 0; j < K; ++j) {
            if ((c >> j) & 1) o |= uint64_t{1} << targets[j];
        }
        offsets[c] = o;
    }
    const uint64_t count = uint64_t{1} << (n - K);
    for (uint64_t first = uint64_t{blockIdx.x} * kBases; first < count; first += uint64_t{gridDim.x} * kBases) {
        const uint64_t entries = (count - first < kBases ? count - first : kBases) * D;
        for (uint64_t w = threadIdx.x; w < entries / D; w += blockDim.x) {
            uint64_t base = first + w;
            for (int j = 0; j < K; ++j) base = insert_zero_bit(base, uint64_t{1} << sorted_targets[j]);
            bases[w] = (base & control_mask) == control_value ? base : kSkippedBase;
        }
        __syncthreads();
        for (uint64_t e = threadIdx.x; e < entries; e += blockDim.x) {
            const uint64_t base = bases[e / D];
            if (base != kSkippedBase) tile[e] = velloran::load_amplitude(state + (base | offsets[e % D]));
        }
        __syncthreads();
        for (uint64_t e = threadIdx.x; e < entries; e += blockDim.x) {
            const uint64_t base = bases[e / D];
            if (base == kSkippedBase) continue;
            const CuComplex<T>* row = matrix + (e % D) * D;
            const CuComplex<T>* a = tile + e / D * D;
            CuComplex<T> sum{T(0), T(0)};
            for (uint64_t c = 0; c < D; ++c) sum = sum + velloran::load_amplitude(row + c) * a[c];
            velloran::store_amplitude(state + (base | offsets[e % D]), sum);
        }
        __syncthreads();
    }
}

// Reads only `input` and writes only `output`; indices whose base fails the control test keep what
// the caller copied into `output`.
template <typename T>
__global__ void cu_unitary_kernel(int64_t n, const CuComplex<T>* input, CuComplex<T>* output, const int64_t* targets,
                                  int64_t m, uint64_t target_mask, uint64_t control_mask, uint64_t control_value,
                                  const CuComplex<T>* matrix, int64_t dim) {
    // The bases (every target clear) whose controls match; the launcher has checked that no control
    // is a target.
    velloran::for_matching_grid_stride_index(uint64_t{1} << n, target_mask | control_mask, control_value,
                                             [=](uint64_t i) {
        for (int64_t r = 0; r < dim; ++r) {
            const CuComplex<T>* row = matrix + r * dim;
            CuComplex<T> sum{T(0), T(0)};
            for (int64_t c = 0; c < dim; ++c) {
                sum = sum + velloran::load_amplitude(row + c) *
                                velloran::load_amplitude(input + (i | spread_matrix_index(c, targets, m)));
            }
            velloran::store_amplitude(output + (i | spread_matrix_index(r, targets, m)), sum);
        }
    });
}

namespace {

constexpr uint64_t kMaxInplaceTargets = 5;

// A device copy of `host`, queued on `stream`.
template <typename E>
velloran::DeviceBuffer<E> upload(const std::vector<E>& host, cudaStream_t stream) {
    velloran::DeviceBuffer<E> buffer(host.size());
    velloran::check_cuda(cudaMemcpyAsync(buffer.get(), host.data(), velloran::checked_bytes(host.size(), sizeof(E)),
                                         cudaMemcpyHostToDevice, stream));
    return buffer;
}

template <typename T, int K>
void launch_unitary_inplace(uint64_t n, CuComplex<T>* state, const int64_t* targets, const int64_t* sorted_targets,
                            const ControlMasks& masks, const CuComplex<T>* matrix, cudaStream_t stream) {
    if constexpr (K == 3) {
        velloran::launch_indexed_kernel<&cu_unitary_inplace_kernel<T, K>>(
            dim3(velloran::grid_for(uint64_t{1} << (n - K), kGateBlock)), dim3(kGateBlock), 0, stream,
            static_cast<int64_t>(n), state, targets, masks.control_mask, masks.control_value, matrix);
    } else {
        constexpr uint64_t D = uint64_t{1} << K;
        const size_t shared = kUnitaryTileEntries * sizeof(CuComplex<T>) + (D + kUnitaryTileEntries / D) * sizeof(uint64_t);
        const uint64_t tiles = ((uint64_t{1} << (n - K)) + kUnitaryTileEntries / D - 1) / (kUnitaryTileEntries / D);
        velloran::launch_barrier_kernel<&cu_unitary_tile_kernel<T, K>>(
            dim3(velloran::capped_grid_for(tiles, 1, velloran::kMaxGridX)), dim3(kGateBlock), shared, stream,
            static_cast<int64_t>(n), state, targets, sorted_targets, masks.control_mask, masks.control_value, matrix);
    }
}

// The checks every UNITARY gate passes before anything is allocated; returns the control masks.
ControlMasks validate_unitary(uint64_t n, const std::vector<int64_t>& targets, const std::vector<int64_t>& controls,
                              const std::vector<int64_t>& control_state, size_t matrix_size, int64_t d,
                              uint64_t& target_mask) {
    if (targets.empty()) throw std::invalid_argument("UNITARY gate requires at least one target.");
    const uint64_t m = targets.size();
    // 2^m is formed only where it fits in 64 bits; no declared dimension matches a longer list.
    if (m >= 63 || d != (int64_t{1} << m)) {
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    }
    // dim * dim wraps from 32 targets on; no host matrix can hold that many entries anyway.
    const uint64_t dim = uint64_t{1} << m;
    if (m >= 32 || dim * dim != matrix_size) throw std::invalid_argument("UNITARY matrix size mismatch.");
    const ControlMasks masks = build_control_masks(controls, control_state);
    target_mask = 0;
    for (const int64_t t : targets) {
        if (static_cast<uint64_t>(t) > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
        target_mask |= uint64_t{1} << t;
    }
    validate_gate_qubits(n, targets, controls);
    return masks;
}

}  // namespace

template <typename T>
void cu_unitary(uint64_t n, CuComplex<T>* state, const std::vector<int64_t>& targets,
                const std::vector<int64_t>& controls, const std::vector<int64_t>& control_state,
                const std::vector<std::complex<double>>& matrix, int64_t d, cudaStream_t stream, KernelMode mode) {
    using velloran::check_cuda;
    uint64_t target_mask = 0;
    const ControlMasks masks = validate_unitary(n, targets, controls, control_state, matrix.size(), d, target_mask);
    const uint64_t m = targets.size();
    const uint64_t k = controls.size();

    std::vector<int64_t> sorted_targets(targets);
    std::sort(sorted_targets.begin(), sorted_targets.end());
    std::vector<CuComplex<T>> entries(matrix.size());
    for (size_t e = 0; e < matrix.size(); ++e) {
        entries[e] = CuComplex<T>{static_cast<T>(matrix[e].real()), static_cast<T>(matrix[e].imag())};
    }

    velloran::DeviceBuffer<int64_t> device_targets;
    velloran::DeviceBuffer<CuComplex<T>> device_matrix;
    velloran::DeviceBuffer<int64_t> device_sorted;
    velloran::DeviceBuffer<CuComplex<T>> scratch;
    if (m == 1) {
        const Unitary2x2<T> u{entries[0], entries[1], entries[2], entries[3]};
        // Every mode but PairAuto takes the in-place pair kernel.
        const KernelMode one_target_mode = mode == KernelMode::PairAuto ? KernelMode::PairAuto : KernelMode::Pair;
        launch_checked_single_qubit_gate<unitary_1q_kernels, T>(n, state, static_cast<int32_t>(targets[0]), masks, k,
                                                                stream, one_target_mode, "CUDA error: ", u,
                                                                [&] { return u; });
    } else if (m == 2) {
        Unitary4x4<T> u;
        std::copy(entries.begin(), entries.end(), u.m);
        const int32_t t0 = static_cast<int32_t>(targets[0]);
        const int32_t t1 = static_cast<int32_t>(targets[1]);
        if (mode == KernelMode::PairAuto) {
            cu_unitary_2q_autopair<T>(n, state, t0, t1, masks.control_mask, masks.control_value, k, u, stream);
        } else {
            velloran::launch_indexed_kernel<&cu_unitary_2q_inplace_kernel<T>>(
                dim3(velloran::grid_for(uint64_t{1} << (n - 2), kGateBlock)), dim3(kGateBlock), 0, stream,
                static_cast<int64_t>(n), state, t0, t1, masks.control_mask, masks.control_value, u);
        }
    } else {
        device_matrix = upload(entries, stream);
        device_targets = upload(targets, stream);
        // The tiles of four and five targets walk their bases in sorted target order.
        if (m > 3 && m <= kMaxInplaceTargets) device_sorted = upload(sorted_targets, stream);
        if (m > kMaxInplaceTargets) {
            const uint64_t amplitudes = uint64_t{1} << n;
            const size_t state_bytes = velloran::checked_bytes(amplitudes, sizeof(CuComplex<T>));
            scratch = velloran::DeviceBuffer<CuComplex<T>>(amplitudes);
            check_cuda(cudaMemcpyAsync(scratch.get(), state, state_bytes, cudaMemcpyDeviceToDevice, stream));
            velloran::launch_indexed_kernel<&cu_unitary_kernel<T>>(
                dim3(velloran::grid_for(amplitudes, kGateBlock)), dim3(kGateBlock), 0, stream,
                static_cast<int64_t>(n), state, scratch.get(), device_targets.get(), static_cast<int64_t>(m),
                target_mask, masks.control_mask, masks.control_value, device_matrix.get(),
                static_cast<int64_t>(uint64_t{1} << m));
            check_cuda(cudaGetLastError());
            check_cuda(cudaMemcpyAsync(state, scratch.get(), state_bytes, cudaMemcpyDeviceToDevice, stream));
        } else {
            const int64_t* t = device_targets.get();
            const int64_t* sorted = device_sorted.get();
            const CuComplex<T>* u = device_matrix.get();
            switch (m) {
                case 3: launch_unitary_inplace<T, 3>(n, state, t, sorted, masks, u, stream); break;
                case 4: launch_unitary_inplace<T, 4>(n, state, t, sorted, masks, u, stream); break;
                case 5: launch_unitary_inplace<T, 5>(n, state, t, sorted, masks, u, stream); break;
                default: throw std::invalid_argument("unsupported inplace unitary target size");
            }
        }
    }
    check_cuda(cudaGetLastError());
    check_cuda(cudaStreamSynchronize(stream));
    device_targets.free_checked();
    device_matrix.free_checked();
    device_sorted.free_checked();
    scratch.free_checked();
}

template void cu_unitary<float>(uint64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                const std::vector<int64_t>&, const std::vector<int64_t>&,
                                const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode);
template void cu_unitary<double>(uint64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                 const std::vector<int64_t>&, const std::vector<int64_t>&,
                                 const std::vector<std::complex<double>>&, int64_t, cudaStream_t, KernelMode);

}  // namespace ketsim
