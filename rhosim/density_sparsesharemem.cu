// The fused density kernel: for every assignment of the inactive qubits, the 2^m x 2^m tile of rho on
// the m active qubits is loaded into shared memory, put through all operations of the group in order
// and written back, so a group of operations costs one pass over the matrix.
#include <stdexcept>

#include "../common/cuda_check.h"
#include "density_fusion.h"
#include "density_kernels.h"
#include "rhosim_launchers.h"

namespace velloran::rhosim {

namespace {

constexpr unsigned int kFusedBlock = 128;
constexpr unsigned int kFusedMaxGrid = 65535;
constexpr int kMaxActive = 5;

// Bit j of x placed at positions[j].
VELLORAN_DEVICE uint64_t place_bits(uint64_t x, const int32_t* positions, int32_t count) {
    uint64_t out = 0;
    for (int32_t j = 0; j < count; ++j) out |= ((x >> j) & 1u) << positions[j];
    return out;
}

// Bit j of x placed at the j-th lowest set bit of mask.
VELLORAN_DEVICE uint64_t deposit_into(uint64_t x, uint64_t mask) {
    uint64_t out = 0;
    for (uint64_t bit = 1; mask != 0; bit <<= 1, mask &= mask - 1) {
        if (x & bit) out |= mask & (~mask + 1);
    }
    return out;
}

// One record applied to every 2 x 2 block of a 2^m x 2^m tile (blocks taken by this thread: first,
// first + step, ...). Kind is fixed per instance so the block loop carries no dispatch. With Channel,
// the built-in channel `next` on the same qubit follows in the same pass: the block values are those
// of two separate passes, one pass over the tile is saved.
template <typename T, int Kind, bool Channel = false>
VELLORAN_DEVICE void apply_record(CuComplex<T>* tile, int32_t m, const DeviceDensityGate<T>& g, uint64_t first,
                                  uint64_t step, const DeviceDensityGate<T>* next = nullptr) {
    const uint64_t side = uint64_t{1} << m;
    const int32_t pair_bits = m - 1;
    const uint64_t pair_mask = (uint64_t{1} << pair_bits) - 1;
    const uint64_t blocks = uint64_t{1} << (2 * pair_bits);
    const uint64_t t = uint64_t{1} << g.target;
    const uint64_t mask = static_cast<uint64_t>(g.control_mask);
    const uint64_t value = static_cast<uint64_t>(g.control_value);
    const CuComplex<T> u[4] = {g.matrix[0], g.matrix[1], g.matrix[2], g.matrix[3]};
    const CuComplex<T> one{T(1), T(0)};
    for (uint64_t w = first; w < blocks; w += step) {
        const uint64_t pr = w >> pair_bits;
        const uint64_t pc = w & pair_mask;
        const uint64_t r = ((pr & ~(t - 1)) << 1) | (pr & (t - 1));
        const uint64_t c = ((pc & ~(t - 1)) << 1) | (pc & (t - 1));
        const bool row_on = (r & mask) == value;
        const bool col_on = (c & mask) == value;
        if (Kind != kGateChannel && !row_on && !col_on) continue;
        CuComplex<T>* p[4] = {tile + r * side + c, tile + r * side + (c | t), tile + (r | t) * side + c,
                              tile + (r | t) * side + (c | t)};
        CuComplex<T> b[4] = {*p[0], *p[1], *p[2], *p[3]};
        if constexpr (Kind == kGateUnitary) {
            if (row_on) multiply_left<T, 2>(u, b);
            if (col_on) multiply_right_dagger<T, 2>(u, b);
        } else if constexpr (Kind == kGateDiagonal) {
            const CuComplex<T> a[2] = {row_on ? g.diag[0] : one, row_on ? g.diag[1] : one};
            const CuComplex<T> d[2] = {col_on ? g.diag[0] : one, col_on ? g.diag[1] : one};
            for (int x = 0; x < 2; ++x) {
                for (int y = 0; y < 2; ++y) b[x * 2 + y] = b[x * 2 + y] * mul_conj(a[x], d[y]);
            }
        } else if constexpr (Kind == kGateFlip) {
            const int rx = row_on ? 1 : 0;
            const int cx = col_on ? 1 : 0;
            const CuComplex<T> old[4] = {b[0], b[1], b[2], b[3]};
            for (int x = 0; x < 2; ++x) {
                for (int y = 0; y < 2; ++y) b[x * 2 + y] = old[(x ^ rx) * 2 + (y ^ cx)];
            }
        } else {
            apply_channel_rule(g.channel_kind, g.parameter, b);
        }
        if constexpr (Channel) apply_channel_rule(next->channel_kind, next->parameter, b);
        for (int e = 0; e < 4; ++e) *p[e] = b[e];
    }
}

// Every loop strides by blockDim.x, so the kernel is exact for any block size.
template <typename T>
__global__ void density_sparsesharemem_kernel(CuComplex<T>* rho, uint64_t dim, uint64_t tiles, uint64_t active_mask,
                                              uint64_t other_mask, int32_t m, int32_t other_bits,
                                              const DeviceDensityGate<T>* gates, int64_t gate_count) {
    CuComplex<T>* tile = dynamic_shared<CuComplex<T>>();
    const uint64_t first = threadIdx.x;
    const uint64_t step = blockDim.x;
    const uint64_t tile_step = gridDim.x;
    int32_t positions[kMaxActive];
    for (int32_t q = 0, j = 0; j < m; ++q) {
        if ((active_mask >> q) & 1u) positions[j++] = q;
    }
    const uint64_t side = uint64_t{1} << m;
    // Row or column offset of each local index (n <= 15, so offsets fit 32 bits).
    uint32_t local_offset[1 << kMaxActive];
    for (uint64_t j = 0; j < side; ++j) local_offset[j] = static_cast<uint32_t>(place_bits(j, positions, m));
    const uint64_t entries = side * side;
    const uint64_t group_mask = (uint64_t{1} << other_bits) - 1;
    for (uint64_t t = blockIdx.x; t < tiles; t += tile_step) {
        const uint64_t row_base = deposit_into(t >> other_bits, other_mask);
        const uint64_t col_base = deposit_into(t & group_mask, other_mask);
        for (uint64_t e = first; e < entries; e += step) {
            const uint64_t row = row_base | local_offset[e >> m];
            const uint64_t col = col_base | local_offset[e & (side - 1)];
            tile[e] = rho[row * dim + col];
        }
        __syncthreads();
        for (int64_t k = 0; k < gate_count; ++k) {
            const DeviceDensityGate<T> g = gates[k];
            // The common noisy-gate pattern: an uncontrolled unitary, then a channel on its qubit.
            if (g.kind == kGateUnitary && g.control_mask == 0 && k + 1 < gate_count &&
                gates[k + 1].kind == kGateChannel && gates[k + 1].target == g.target) {
                const DeviceDensityGate<T> channel = gates[k + 1];
                apply_record<T, kGateUnitary, true>(tile, m, g, first, step, &channel);
                ++k;
                __syncthreads();
                continue;
            }
            switch (g.kind) {
                case kGateUnitary: apply_record<T, kGateUnitary>(tile, m, g, first, step); break;
                case kGateDiagonal: apply_record<T, kGateDiagonal>(tile, m, g, first, step); break;
                case kGateFlip: apply_record<T, kGateFlip>(tile, m, g, first, step); break;
                default: apply_record<T, kGateChannel>(tile, m, g, first, step); break;
            }
            __syncthreads();
        }
        for (uint64_t e = first; e < entries; e += step) {
            const uint64_t row = row_base | local_offset[e >> m];
            const uint64_t col = col_base | local_offset[e & (side - 1)];
            rho[row * dim + col] = tile[e];
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
    const size_t shared_bytes = sizeof(CuComplex<T>) << (2 * m);
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
