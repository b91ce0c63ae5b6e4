// The SparseShareMem kernel and its launcher. A tile is the 2^k amplitudes that agree on every
// inactive qubit; a block loads one tile into shared memory, applies the group's records in order
// with a barrier after each, and writes it back, so the state moves once per group.
#include "sparsesharemem.h"

#include <algorithm>
#include <stdexcept>

#include "../../common/block_loops.h"
#include "../../common/device_access.h"
#include "../../common/launch.h"
#include "fused_index.h"

namespace ketsim::fusion {

namespace {

using Tile = uint64_t;

// Calls f(i0, i1) for every pair of the tile that differs in local bit `target` and whose control
// bits match, spread over the block's threads.
template <typename F>
VELLORAN_DEVICE void for_each_pair(int32_t k, int32_t target, uint64_t control_mask, uint64_t control_value, F&& f) {
    velloran::block_for_pairs(k, uint64_t{1} << target, control_mask, control_value, f);
}

// Where a tile's local qubits lie. Its local index holds the group's active qubits and, on the host,
// the lowest inactive ones as extra local qubits: `in_tile` is their state bits, `lane_bits` how
// many extra ones lie below every active one, and `spread` the local positions of those above. No
// record names an extra qubit, so the records see independent copies of the group's tile, and a
// record's local qubits move as local_mask() and local_qubit() say.
struct TileLayout {
    uint64_t in_tile = 0;
    uint64_t spread = 0;
    int32_t local_bits = 0;
    int32_t lane_bits = 0;

    VELLORAN_HD uint64_t local_mask(uint64_t record_bits) const {
        return velloran::insert_zero_bits(record_bits << lane_bits, spread, 0);
    }
    VELLORAN_HD int32_t local_qubit(int32_t record_qubit) const {
        return velloran::bit_count(local_mask(uint64_t{1} << record_qubit) - 1);
    }
};

// Applies record r to a tile laid out as `layout` says. The loop bodies take the tile pointer and
// the coefficients by value: captured by reference, they are locals whose address the loop's stores
// might reach (the build does not assume strict aliasing), and GCC 12's vectorised host loop then
// computed the general matrix record on local qubit 1 wrongly in complex128.
template <typename T>
VELLORAN_DEVICE void apply_record(CuComplex<T>* s, const DeviceMatrixGate<CuComplex<T>>& r, const TileLayout& layout) {
    const int32_t k = layout.local_bits;
    const uint64_t cm = layout.local_mask(static_cast<uint32_t>(r.control_mask));
    const uint64_t cv = layout.local_mask(static_cast<uint32_t>(r.control_value));
    const int32_t target = layout.local_qubit(r.target);
    switch (r.op) {
        case kOpSwap: {
            const uint64_t a = uint64_t{1} << target, b = uint64_t{1} << layout.local_qubit(r.target2);
            // Both amplitudes are read before either is written, as in every record below: a
            // store between the two loads kept the host compiler from vectorising the exchange
            // (an X record took five times as long as an RX one).
            velloran::block_for_subset(k, a | b | cm, cv, [s, a, b](uint64_t idx) {
                const CuComplex<T> u = s[idx + a], v = s[idx + b];
                s[idx + a] = v;
                s[idx + b] = u;
            });
            break;
        }
        case kOpX:
            for_each_pair(k, target, cm, cv, [s](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = b;
                s[i1] = a;
            });
            break;
        case kOpY:
            for_each_pair(k, target, cm, cv, [s](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = CuComplex<T>{b.im, -b.re};
                s[i1] = CuComplex<T>{-a.im, a.re};
            });
            break;
        case kOpH: {
            const T h = r.matrix[0].re;
            for_each_pair(k, target, cm, cv, [s, h](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = scale(a + b, h);
                s[i1] = scale(a - b, h);
            });
            break;
        }
        case kOpDiagonal: {
            const CuComplex<T> d0 = r.matrix[0], d1 = r.matrix[3];
            if (d0.re == T(1) && d0.im == T(0)) {
                // Z, S, PHASE and their controlled forms leave the |0> amplitude as it is; Z and CZ
                // only change the sign of the |1> one.
                if (d1.im == T(0)) {
                    const T f = d1.re;
                    for_each_pair(k, target, cm, cv, [s, f](uint64_t, uint64_t i1) { s[i1] = scale(s[i1], f); });
                    break;
                }
                for_each_pair(k, target, cm, cv, [s, d1](uint64_t, uint64_t i1) { s[i1] = d1 * s[i1]; });
                break;
            }
            for_each_pair(k, target, cm, cv, [s, d0, d1](uint64_t i0, uint64_t i1) {
                s[i0] = d0 * s[i0];
                s[i1] = d1 * s[i1];
            });
            break;
        }
        case kOpRX: {
            const T c = r.matrix[0].re, w = r.matrix[1].im;
            for_each_pair(k, target, cm, cv, [s, c, w](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = CuComplex<T>{c * a.re - w * b.im, c * a.im + w * b.re};
                s[i1] = CuComplex<T>{c * b.re - w * a.im, c * b.im + w * a.re};
            });
            break;
        }
        case kOpRY: {
            const T c = r.matrix[0].re, w = r.matrix[2].re;
            for_each_pair(k, target, cm, cv, [s, c, w](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = scale(a, c) - scale(b, w);
                s[i1] = scale(b, c) + scale(a, w);
            });
            break;
        }
        default: {
            const CuComplex<T> m00 = r.matrix[0], m01 = r.matrix[1], m10 = r.matrix[2], m11 = r.matrix[3];
            for_each_pair(k, target, cm, cv, [s, m00, m01, m10, m11](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = mul_add(m00, a, m01, b);
                s[i1] = mul_add(m10, a, m11, b);
            });
            break;
        }
    }
}

// One block per tile at a time. Extra local qubits (see TileLayout) let the host's tiles reach a
// whole worker buffer: the gather and scatter copy stretches of consecutive amplitudes, and each
// record's loops run long enough to repay their setup. On the GPU a warp's threads already read
// consecutive amplitudes, and a tile holds the active qubits alone. `tile_mask` holds the remaining
// qubits: tile t starts at deposit_bits(t, tile_mask).
template <typename T>
__global__ VELLORAN_VECTOR_KERNEL void sparsesharemem_kernel(CuComplex<T>* state, uint64_t tile_count,
                                                             uint64_t tile_mask, TileLayout layout, int32_t k,
                                                             const DeviceMatrixGate<CuComplex<T>>* records,
                                                             int32_t count) {
    CuComplex<T>* s = velloran::dynamic_shared<CuComplex<T>>();
    const bool via_tile = prefer_complement(tile_mask, layout.in_tile);
    for (Tile tile = blockIdx.x; tile < tile_count; tile += gridDim.x) {
        CuComplex<T>* base = state + deposit_into(tile, tile_mask, layout.in_tile, via_tile);
        velloran::block_for_deposited(layout.local_bits, layout.in_tile, [s, base](uint64_t i, uint64_t offset) {
            velloran::store_amplitude(s + i, velloran::load_amplitude(base + offset));
        });
        __syncthreads();
        for (int32_t r = 0; r < count; ++r) {
            if (record_fits_tile(records[r], k)) apply_record(s, records[r], layout);
            __syncthreads();
        }
        velloran::block_for_deposited(layout.local_bits, layout.in_tile, [s, base](uint64_t i, uint64_t offset) {
            velloran::store_amplitude(base + offset, velloran::load_amplitude(s + i));
        });
        __syncthreads();
    }
}

// The tile of a group: its active qubits, then the lowest inactive qubits while the build asks for
// more amplitudes per active index and the tile still fits.
template <typename T>
TileLayout tile_layout(int64_t n, uint64_t active_mask, int32_t k) {
    TileLayout layout{active_mask, 0, k, 0};
    const uint64_t lowest_active = active_mask & (~active_mask + 1);
    for (int64_t q = 0; q < n; ++q) {
        const uint64_t bit = uint64_t{1} << q;
        if (active_mask & bit) continue;
        if ((sizeof(CuComplex<T>) << (layout.local_bits - k + 1)) > velloran::kTileBytesPerActiveIndex ||
            (sizeof(CuComplex<T>) << (layout.local_bits + 1)) > velloran::kTileSharedBytes) {
            break;
        }
        layout.in_tile |= bit;
        ++layout.local_bits;
        if (bit < lowest_active) {
            ++layout.lane_bits;
        } else {
            layout.spread |= uint64_t{1} << bit_count(layout.in_tile & (bit - 1));
        }
    }
    // Extra qubits above every active one leave the records' local qubits where they are.
    const uint64_t highest_active = uint64_t{1} << (63 - __builtin_clzll(active_mask));
    layout.spread &= (uint64_t{1} << bit_count(layout.in_tile & (highest_active - 1))) - 1;
    return layout;
}

}  // namespace

template <typename T>
void launch_sparsesharemem(int64_t n, CuComplex<T>* state, uint64_t active_mask, int32_t k,
                           const DeviceMatrixGate<CuComplex<T>>* records, int32_t count, cudaStream_t stream) {
    if (k < 1 || k > kSparseShareMemMaxQubits) {
        throw std::invalid_argument("SparseShareMem active qubits must be in [1, 10]");
    }
    if (n < k) throw std::invalid_argument("SparseShareMem active qubits exceed circuit size");
    if (count < 1) throw std::invalid_argument("SparseShareMem group cannot be empty");
    // A mask that names other qubits than the k below n would read outside the state or the tile.
    const uint64_t all = n >= 64 ? ~uint64_t{0} : (uint64_t{1} << n) - 1;
    if (n > 62 || (active_mask & ~all) != 0 || bit_count(active_mask) != k) {
        throw std::invalid_argument("SparseShareMem active mask must name k qubits below n");
    }
    const TileLayout layout = tile_layout<T>(n, active_mask, k);
    const uint64_t tiles = uint64_t{1} << (n - layout.local_bits);
    const unsigned int grid = static_cast<unsigned int>(std::min<uint64_t>(tiles, kSparseShareMemMaxBlocks));
    const size_t shared_bytes = sizeof(CuComplex<T>) << layout.local_bits;
    velloran::launch_tile_kernel<&sparsesharemem_kernel<T>>(dim3(grid), dim3(kSparseShareMemBlock), shared_bytes,
                                                            stream, state, tiles, all & ~layout.in_tile, layout, k,
                                                            records, count);
}

template void launch_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                           const DeviceMatrixGate<CuComplex<float>>*, int32_t, cudaStream_t);
template void launch_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                            const DeviceMatrixGate<CuComplex<double>>*, int32_t, cudaStream_t);

}  // namespace ketsim::fusion
