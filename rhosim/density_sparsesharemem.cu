// The fused density kernel: for every assignment of the inactive qubits, the 2^m x 2^m tile of rho on
// the m active qubits is loaded into shared memory, put through all operations of the group in order
// and written back, so a group of operations costs one pass over the matrix.
#include <stdexcept>
#include <type_traits>

#include "../common/block_loops.h"
#include "../common/cuda_check.h"
#include "../common/device_access.h"
#include "density_fusion.h"
#include "density_kernels.h"
#include "rhosim_launchers.h"

namespace velloran::rhosim {

namespace {

constexpr unsigned int kFusedBlock = 128;
constexpr unsigned int kFusedMaxGrid = 65535;
constexpr int kMaxActive = 5;

// Whether a side of a block is acted on, as a compile-time flag.
using Acts = std::true_type;
using Untouched = std::false_type;

// The 2 x 2 block of target bit t whose top-left entry is tile index e, put through `transform`.
template <typename T, typename Transform>
VELLORAN_DEVICE void update_block(CuComplex<T>* tile, uint64_t e, uint64_t right, uint64_t down, Transform& transform) {
    CuComplex<T> b[4] = {tile[e], tile[e + right], tile[e + down], tile[e + down + right]};
    transform(b);
    tile[e] = b[0];
    tile[e + right] = b[1];
    tile[e + down] = b[2];
    tile[e + down + right] = b[3];
}

// Every block of target bit t whose row control bits read row_value and whose column control bits
// read col_value. A tile index holds the row in bits m and up, the column below.
template <typename T, typename Transform>
VELLORAN_DEVICE void for_blocks(CuComplex<T>* tile, int32_t m, uint64_t t, uint64_t mask, uint64_t row_value,
                                uint64_t col_value, Transform&& transform) {
    const uint64_t fixed = (t | mask) | ((t | mask) << m);
    velloran::block_for_subset(2 * m, fixed, (row_value << m) | col_value,
                               [&](uint64_t e) { update_block(tile, e, t, t << m, transform); });
}

// A controlled operation acts from the left on the rows whose controls hold and from the right on
// such columns: transform(left, right, b) is called with the two as compile-time flags, for every
// block where at least one holds. The three sets of blocks are disjoint, so no barrier is needed.
template <typename T, typename Transform>
VELLORAN_DEVICE void for_controlled_blocks(CuComplex<T>* tile, int32_t m, uint64_t t, uint64_t mask, uint64_t value,
                                           Transform&& transform) {
    for_blocks(tile, m, t, mask, value, value, [&](CuComplex<T>(&b)[4]) { transform(Acts{}, Acts{}, b); });
    const uint64_t assignments = uint64_t{1} << bit_count(mask);
    for (uint64_t a = 0; a < assignments; ++a) {
        const uint64_t other = deposit_bits(a, mask);
        if (other == value) continue;
        for_blocks(tile, m, t, mask, value, other, [&](CuComplex<T>(&b)[4]) { transform(Acts{}, Untouched{}, b); });
        for_blocks(tile, m, t, mask, other, value, [&](CuComplex<T>(&b)[4]) { transform(Untouched{}, Acts{}, b); });
    }
}

// Calls f with the channel kind as a compile-time constant, so the block loop carries no dispatch;
// an unknown kind is 0, which the channel rule leaves as it is.
template <typename F>
VELLORAN_DEVICE void with_channel_kind(int32_t kind, F&& f) {
    switch (kind) {
        case 1: f(std::integral_constant<int32_t, 1>{}); break;
        case 2: f(std::integral_constant<int32_t, 2>{}); break;
        case 3: f(std::integral_constant<int32_t, 3>{}); break;
        case 4: f(std::integral_constant<int32_t, 4>{}); break;
        case 5: f(std::integral_constant<int32_t, 5>{}); break;
        default: f(std::integral_constant<int32_t, 0>{}); break;
    }
}

// A record may only name local qubits of the tile; one that does not is left out rather than let
// it index outside shared memory.
template <typename T>
VELLORAN_DEVICE bool fits_tile(const DeviceDensityGate<T>& g, int32_t m) {
    const uint64_t mask = static_cast<uint32_t>(g.control_mask);
    const uint64_t value = static_cast<uint32_t>(g.control_value);
    return g.target >= 0 && g.target < m && (mask >> m) == 0 && (value & ~mask) == 0 &&
           ((mask >> g.target) & 1u) == 0;
}

// One record on the tile. With `channel`, the built-in channel on the same qubit that follows an
// uncontrolled unitary is applied in the same pass: the block values are those of two separate
// passes, one pass over the tile is saved.
template <typename T>
VELLORAN_DEVICE void apply_record(CuComplex<T>* tile, int32_t m, const DeviceDensityGate<T>& g,
                                  const DeviceDensityGate<T>* channel = nullptr) {
    const uint64_t t = uint64_t{1} << g.target;
    const uint64_t mask = static_cast<uint32_t>(g.control_mask);
    const uint64_t value = static_cast<uint32_t>(g.control_value);
    const CuComplex<T> u[4] = {g.matrix[0], g.matrix[1], g.matrix[2], g.matrix[3]};
    if (channel != nullptr) {
        const T p = channel->parameter;
        with_channel_kind(channel->channel_kind, [&](auto kind) {
            for_blocks(tile, m, t, 0, 0, 0, [&](CuComplex<T>(&b)[4]) {
                multiply_left<T, 2>(u, b);
                multiply_right_dagger<T, 2>(u, b);
                apply_channel_rule(decltype(kind)::value, p, b);
            });
        });
        return;
    }
    switch (g.kind) {
        case kGateUnitary:
            for_controlled_blocks(tile, m, t, mask, value, [&](auto left, auto right, CuComplex<T>(&b)[4]) {
                if constexpr (decltype(left)::value) multiply_left<T, 2>(u, b);
                if constexpr (decltype(right)::value) multiply_right_dagger<T, 2>(u, b);
            });
            break;
        case kGateDiagonal: {
            const CuComplex<T> one{T(1), T(0)};
            const CuComplex<T> d0 = g.diag[0], d1 = g.diag[1];
            for_controlled_blocks(tile, m, t, mask, value, [&](auto left, auto right, CuComplex<T>(&b)[4]) {
                const CuComplex<T> a[2] = {decltype(left)::value ? d0 : one, decltype(left)::value ? d1 : one};
                const CuComplex<T> d[2] = {decltype(right)::value ? d0 : one, decltype(right)::value ? d1 : one};
                for (int x = 0; x < 2; ++x) {
                    for (int y = 0; y < 2; ++y) b[x * 2 + y] = b[x * 2 + y] * mul_conj(a[x], d[y]);
                }
            });
            break;
        }
        case kGateFlip:
            for_controlled_blocks(tile, m, t, mask, value, [&](auto left, auto right, CuComplex<T>(&b)[4]) {
                constexpr int rx = decltype(left)::value ? 1 : 0;
                constexpr int cx = decltype(right)::value ? 1 : 0;
                const CuComplex<T> old[4] = {b[0], b[1], b[2], b[3]};
                for (int x = 0; x < 2; ++x) {
                    for (int y = 0; y < 2; ++y) b[x * 2 + y] = old[(x ^ rx) * 2 + (y ^ cx)];
                }
            });
            break;
        default: {
            const T p = g.parameter;
            with_channel_kind(g.channel_kind, [&](auto kind) {
                for_blocks(tile, m, t, 0, 0, 0,
                           [&](CuComplex<T>(&b)[4]) { apply_channel_rule(decltype(kind)::value, p, b); });
            });
            break;
        }
    }
}

// Every loop strides by blockDim.x, so the kernel is exact for any block size.
template <typename T>
__global__ VELLORAN_VECTOR_KERNEL void density_sparsesharemem_kernel(CuComplex<T>* rho, uint64_t dim, uint64_t tiles,
                                                                     uint64_t active_mask, uint64_t other_mask, int32_t m,
                                                                     int32_t other_bits,
                                                                     const DeviceDensityGate<T>* gates,
                                                                     int64_t gate_count) {
    CuComplex<T>* tile = dynamic_shared<CuComplex<T>>();
    const uint64_t first = threadIdx.x;
    const uint64_t step = blockDim.x;
    const uint64_t tile_step = gridDim.x;
    const uint64_t side = uint64_t{1} << m;
    const uint64_t entries = side * side;
    // Row or column offset of each local index (n <= 15, so offsets fit 32 bits), in shared memory
    // after the tile: a local array indexed at run time would live in the thread's stack.
    uint32_t* local_offset = reinterpret_cast<uint32_t*>(tile + entries);
    for (uint64_t j = first; j < side; j += step) local_offset[j] = static_cast<uint32_t>(deposit_bits(j, active_mask));
    __syncthreads();
    const uint64_t group_mask = (uint64_t{1} << other_bits) - 1;
    for (uint64_t t = blockIdx.x; t < tiles; t += tile_step) {
        const uint64_t row_base = deposit_bits(t >> other_bits, other_mask);
        const uint64_t col_base = deposit_bits(t & group_mask, other_mask);
        for (uint64_t e = first; e < entries; e += step) {
            const uint64_t row = row_base | local_offset[e >> m];
            const uint64_t col = col_base | local_offset[e & (side - 1)];
            store_amplitude(tile + e, load_amplitude(rho + (row * dim + col)));
        }
        __syncthreads();
        for (int64_t k = 0; k < gate_count; ++k) {
            const DeviceDensityGate<T> g = gates[k];
            if (!fits_tile(g, m)) continue;
            // The common noisy-gate pattern: an uncontrolled unitary, then a channel on its qubit.
            if (g.kind == kGateUnitary && g.control_mask == 0 && k + 1 < gate_count &&
                gates[k + 1].kind == kGateChannel && gates[k + 1].target == g.target) {
                const DeviceDensityGate<T> channel = gates[k + 1];
                apply_record(tile, m, g, &channel);
                ++k;
            } else {
                apply_record(tile, m, g);
            }
            __syncthreads();
        }
        for (uint64_t e = first; e < entries; e += step) {
            const uint64_t row = row_base | local_offset[e >> m];
            const uint64_t col = col_base | local_offset[e & (side - 1)];
            store_amplitude(rho + (row * dim + col), load_amplitude(tile + e));
        }
        __syncthreads();
    }
}

}  // namespace

template <typename T>
void launch_fused(uint64_t dim, CuComplex<T>* rho, uint64_t active_mask, int64_t m, const DeviceDensityGate<T>* gates,
                  int64_t gate_count) {
    if (m < 1 || m > kMaxActive) throw std::invalid_argument("density fusion active qubits must be in [1,5]");
    if (gate_count < 1) throw std::invalid_argument("fusion group cannot be empty");
    const int64_t n = __builtin_ctzll(dim);
    if (m > n) throw std::invalid_argument("active qubits exceed circuit size");
    // The tile mapping reads exactly the m qubits of the mask; any other mask would leave the matrix.
    if (__builtin_popcountll(active_mask) != m || (active_mask & ~(dim - 1)) != 0) {
        throw std::invalid_argument("density fusion active mask does not match its qubit count");
    }
    const uint64_t tiles = uint64_t{1} << (2 * (n - m));
    const dim3 grid(static_cast<unsigned>(tiles < kFusedMaxGrid ? tiles : kFusedMaxGrid));
    const size_t shared_bytes = (sizeof(CuComplex<T>) << (2 * m)) + (sizeof(uint32_t) << m);
    launch_barrier_kernel<&density_sparsesharemem_kernel<T>>(grid, dim3(kFusedBlock), shared_bytes, nullptr, rho, dim,
                                                             tiles, active_mask, active_mask ^ (dim - 1),
                                                             static_cast<int32_t>(m), static_cast<int32_t>(n - m),
                                                             gates, gate_count);
    check_launch("density_sparsesharemem kernel launch failed: ");
}

template void launch_fused<float>(uint64_t, CuComplex<float>*, uint64_t, int64_t, const DeviceDensityGate<float>*,
                                  int64_t);
template void launch_fused<double>(uint64_t, CuComplex<double>*, uint64_t, int64_t, const DeviceDensityGate<double>*,
                                   int64_t);

}  // namespace velloran::rhosim
