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

// Applies record r to a tile of 2^k amplitudes whose local index holds the group's qubits above
// `lane_bits` lane bits: the record's local qubits move up by lane_bits.
template <typename T>
VELLORAN_DEVICE void apply_record(CuComplex<T>* s, const DeviceMatrixGate<CuComplex<T>>& r, int32_t k,
                                  int32_t lane_bits) {
    const uint64_t cm = uint64_t{static_cast<uint32_t>(r.control_mask)} << lane_bits;
    const uint64_t cv = uint64_t{static_cast<uint32_t>(r.control_value)} << lane_bits;
    const int32_t target = r.target + lane_bits;
    switch (r.op) {
        case kOpSwap: {
            const uint64_t a = uint64_t{1} << target, b = uint64_t{1} << (r.target2 + lane_bits);
            // Both amplitudes are read before either is written, as in every record below: a
            // store between the two loads kept the host compiler from vectorising the exchange
            // (an X record took five times as long as an RX one).
            velloran::block_for_subset(k, a | b | cm, cv, [&](uint64_t idx) {
                const CuComplex<T> u = s[idx + a], v = s[idx + b];
                s[idx + a] = v;
                s[idx + b] = u;
            });
            break;
        }
        case kOpX:
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = b;
                s[i1] = a;
            });
            break;
        case kOpY:
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = CuComplex<T>{b.im, -b.re};
                s[i1] = CuComplex<T>{-a.im, a.re};
            });
            break;
        case kOpH: {
            const T h = r.matrix[0].re;
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
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
                    for_each_pair(k, target, cm, cv, [&](uint64_t, uint64_t i1) { s[i1] = scale(s[i1], f); });
                    break;
                }
                for_each_pair(k, target, cm, cv, [&](uint64_t, uint64_t i1) { s[i1] = d1 * s[i1]; });
                break;
            }
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
                s[i0] = d0 * s[i0];
                s[i1] = d1 * s[i1];
            });
            break;
        }
        case kOpRX: {
            const T c = r.matrix[0].re, w = r.matrix[1].im;
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = CuComplex<T>{c * a.re - w * b.im, c * a.im + w * b.re};
                s[i1] = CuComplex<T>{c * b.re - w * a.im, c * b.im + w * a.re};
            });
            break;
        }
        case kOpRY: {
            const T c = r.matrix[0].re, w = r.matrix[2].re;
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = scale(a, c) - scale(b, w);
                s[i1] = scale(b, c) + scale(a, w);
            });
            break;
        }
        default: {
            const CuComplex<T> m00 = r.matrix[0], m01 = r.matrix[1], m10 = r.matrix[2], m11 = r.matrix[3];
            for_each_pair(k, target, cm, cv, [&](uint64_t i0, uint64_t i1) {
                const CuComplex<T> a = s[i0], b = s[i1];
                s[i0] = mul_add(m00, a, m01, b);
                s[i1] = mul_add(m10, a, m11, b);
            });
            break;
        }
    }
}

// A tile may also take the lowest `lane_bits` qubits, inactive in the group, as extra local qubits
// below the active ones: local index (i << lane_bits) | l is state offset
// deposit_bits(i, active_mask) + l. No record names them, so the records see 2^lane_bits
// independent copies of the group's tile, while the gather and scatter copy whole stretches of
// 2^lane_bits amplitudes and every record's inner loop runs over at least that many consecutive
// ones. The host asks for lanes (one core reads a whole tile); on the GPU a warp's threads already
// read consecutive amplitudes and lane_bits is 0. `tile_mask` holds the remaining qubits: tile t
// starts at deposit_bits(t, tile_mask).
template <typename T>
__global__ VELLORAN_VECTOR_KERNEL void sparsesharemem_kernel(CuComplex<T>* state, uint64_t tile_count,
                                                             uint64_t active_mask, uint64_t tile_mask, int32_t k,
                                                             int32_t lane_bits,
                                                             const DeviceMatrixGate<CuComplex<T>>* records,
                                                             int32_t count) {
    CuComplex<T>* s = velloran::dynamic_shared<CuComplex<T>>();
    const uint64_t lanes = uint64_t{1} << lane_bits;
    const uint64_t in_tile = active_mask | (lanes - 1);
    const int32_t local_bits = k + lane_bits;
    const bool via_active = prefer_complement(tile_mask, in_tile);
    for (Tile tile = blockIdx.x; tile < tile_count; tile += gridDim.x) {
        CuComplex<T>* base = state + deposit_into(tile, tile_mask, in_tile, via_active);
        velloran::block_for_deposited(k, active_mask, [&](uint64_t i, uint64_t offset) {
            for (uint64_t l = 0; l < lanes; ++l) {
                velloran::store_amplitude(s + ((i << lane_bits) | l), velloran::load_amplitude(base + (offset + l)));
            }
        });
        __syncthreads();
        for (int32_t r = 0; r < count; ++r) {
            if (record_fits_tile(records[r], k)) apply_record(s, records[r], local_bits, lane_bits);
            __syncthreads();
        }
        velloran::block_for_deposited(k, active_mask, [&](uint64_t i, uint64_t offset) {
            for (uint64_t l = 0; l < lanes; ++l) {
                velloran::store_amplitude(base + (offset + l), velloran::load_amplitude(s + ((i << lane_bits) | l)));
            }
        });
        __syncthreads();
    }
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
    // Lanes as the build asks for them, where the lowest qubits are inactive and the tile still fits.
    int32_t lane_bits = 0;
    while ((uint64_t{1} << (lane_bits + 1)) * sizeof(CuComplex<T>) <= velloran::kTileLaneBytes &&
           lane_bits + 1 <= n - k && ((active_mask >> lane_bits) & 1) == 0 &&
           (sizeof(CuComplex<T>) << (k + lane_bits + 1)) <= velloran::kTileSharedBytes) {
        ++lane_bits;
    }
    const uint64_t tiles = uint64_t{1} << (n - k - lane_bits);
    const unsigned int grid = static_cast<unsigned int>(std::min<uint64_t>(tiles, kSparseShareMemMaxBlocks));
    const size_t shared_bytes = sizeof(CuComplex<T>) << (k + lane_bits);
    const uint64_t tile_mask = all & ~(active_mask | ((uint64_t{1} << lane_bits) - 1));
    velloran::launch_tile_kernel<&sparsesharemem_kernel<T>>(dim3(grid), dim3(kSparseShareMemBlock), shared_bytes,
                                                            stream, state, tiles, active_mask, tile_mask, k,
                                                            lane_bits, records, count);
}

template void launch_sparsesharemem<float>(int64_t, CuComplex<float>*, uint64_t, int32_t,
                                           const DeviceMatrixGate<CuComplex<float>>*, int32_t, cudaStream_t);
template void launch_sparsesharemem<double>(int64_t, CuComplex<double>*, uint64_t, int32_t,
                                            const DeviceMatrixGate<CuComplex<double>>*, int32_t, cudaStream_t);

}  // namespace ketsim::fusion
