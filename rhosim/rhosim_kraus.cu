// Non-unitary operations on the density matrix: the five built-in single-qubit channels in closed
// form, and general Kraus channels rho -> sum_m K_m rho K_m^dagger on one to three qubits (one
// target per thread, two and three as shared-memory tiles).
#include <stdexcept>

#include "../common/cuda_check.h"
#include "density_kernels.h"
#include "rhosim_launchers.h"

namespace velloran::rhosim {

namespace {

using density::ChannelKind;

// One thread per entry; the thread whose row and column both lack the target bit owns the 2 x 2
// block and updates it.
template <typename T, ChannelKind Kind>
__global__ void channel_kernel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, T parameter) {
    const uint64_t r = entry_row();
    const uint64_t c = entry_column();
    if (r >= dim || c >= dim || (r & target_mask) || (c & target_mask)) return;
    constexpr int32_t kind = static_cast<int32_t>(Kind);
    CuComplex<T>* top = rho + r * dim;
    CuComplex<T>* bottom = rho + (r | target_mask) * dim;
    CuComplex<T> b[4] = {load_amplitude(top + c), load_amplitude(top + (c | target_mask)), load_amplitude(bottom + c),
                          load_amplitude(bottom + (c | target_mask))};
    apply_channel_rule(kind, parameter, b);
    if (channel_moves_populations(kind)) store_amplitude(top + c, b[0]);
    store_amplitude(top + (c | target_mask), b[1]);
    store_amplitude(bottom + c, b[2]);
    if (channel_moves_populations(kind)) store_amplitude(bottom + (c | target_mask), b[3]);
}

template <typename T, int K>
__global__ void kraus_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets, int64_t matrix_count,
                             const CuComplex<T>* matrices) {
    constexpr int D = 1 << K;
    const BlockLayout<K> layout(targets);
    const uint64_t items = layout.items();
    const uint64_t stride = thread_stride_1d();
    for (uint64_t i = thread_index_1d(); i < items; i += stride) {
        const uint64_t row = layout.row_base(i);
        const uint64_t col = layout.col_base(i);
        CuComplex<T> b[D * D];
        layout.load(rho, dim, row, col, b);
        CuComplex<T> sum[D * D];
        for (int e = 0; e < D * D; ++e) sum[e] = CuComplex<T>{T(0), T(0)};
        // Term by term, one row of K_m B at a time, so only the block and the sum stay live.
        for (int64_t m = 0; m < matrix_count; ++m) {
            const CuComplex<T>* k = matrices + m * D * D;
            for (int x = 0; x < D; ++x) {
                CuComplex<T> left[D];
                for (int z = 0; z < D; ++z) {
                    CuComplex<T> acc{T(0), T(0)};
                    for (int a = 0; a < D; ++a) acc = acc + load_amplitude(k + (x * D + a)) * b[a * D + z];
                    left[z] = acc;
                }
                for (int y = 0; y < D; ++y) {
                    CuComplex<T> acc{T(0), T(0)};
                    for (int z = 0; z < D; ++z) acc = acc + mul_conj(left[z], load_amplitude(k + (y * D + z)));
                    sum[x * D + y] = sum[x * D + y] + acc;
                }
            }
        }
        layout.store(rho, dim, row, col, sum);
    }
}

// The Kraus sum for two and three targets, a tile of whole blocks per thread block: B is staged,
// then for each K_m the product K_m B (a column per thread step) and the sum's update by
// (K_m B) K_m^dagger (a row per step) are formed in the same order as kraus_kernel, so both give the
// same bits.
template <typename T, int K>
__global__ void kraus_tile_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets, int64_t matrix_count,
                                  const CuComplex<T>* matrices) {
    using Tile = BlockTile<T, K>;
    constexpr uint64_t D = Tile::D;
    constexpr uint64_t W = Tile::W;
    const Tile tile(dynamic_shared<CuComplex<T>>());
    const uint64_t thread = threadIdx.x;
    const uint64_t step = blockDim.x;
    const uint64_t target_mask = target_mask_of(targets);
    const int other_bits = static_cast<int>(targets.other_count);
    const uint64_t items = uint64_t{1} << (2 * other_bits);
    tile.set_offsets(targets);
    for (uint64_t first = uint64_t{blockIdx.x} * W; first < items; first += uint64_t{gridDim.x} * W) {
        const uint64_t count = items - first < W ? items - first : W;
        const uint64_t lines = count * D;
        tile.set_bases(first, count, target_mask, other_bits);
        __syncthreads();
        for (uint64_t l = thread; l < lines; l += step) {
            tile.load_row(rho, dim, l);
            for (uint64_t c = 0; c < D; ++c) tile.sum[l * D + c] = CuComplex<T>{T(0), T(0)};
        }
        __syncthreads();
        for (int64_t m = 0; m < matrix_count; ++m) {
            const CuComplex<T>* k = matrices + m * int64_t{D * D};
            for (uint64_t l = thread; l < lines; l += step) {
                CuComplex<T> column[D];
                tile.block_column(l, column);
                tile.set_left_product_column(k, l, column);
            }
            __syncthreads();
            for (uint64_t l = thread; l < lines; l += step) {
                CuComplex<T>* sum = tile.sum + l * D;
                tile.right_dagger_row(k, l, [sum](uint64_t c, CuComplex<T> v) { sum[c] = sum[c] + v; });
            }
            __syncthreads();
        }
        for (uint64_t l = thread; l < lines; l += step) tile.store_row(rho, dim, l, tile.sum + l * D);
        __syncthreads();
    }
}

template <typename T, ChannelKind Kind>
void launch_channel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, T parameter) {
    launch_kernel<&channel_kernel<T, Kind>>(entry_grid(dim), dim3(kTileX, kTileY), 0, nullptr, rho, dim, target_mask,
                                            parameter);
}

template <typename T, int K>
void launch_kraus(CuComplex<T>* rho, uint64_t dim, int64_t matrix_count, const CuComplex<T>* matrices,
                  const DeviceTargets& targets) {
    const uint64_t groups = dim >> K;
    if constexpr (K == 1) {
        launch_kernel<&kraus_kernel<T, K>>(dim3(grid_for(groups * groups, kDensityBlock)), dim3(kDensityBlock), 0,
                                           nullptr, rho, dim, targets, matrix_count, matrices);
    } else {
        using Tile = BlockTile<T, K>;
        launch_barrier_kernel<&kraus_tile_kernel<T, K>>(dim3(grid_for(groups * groups, Tile::W)), dim3(kDensityBlock),
                                                        Tile::kSharedBytes, nullptr, rho, dim, targets, matrix_count,
                                                        matrices);
    }
}

}  // namespace

template <typename T>
void apply_channel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, int32_t kind, T parameter) {
    switch (kind) {
        case 1: launch_channel<T, ChannelKind::BitFlip>(rho, dim, target_mask, parameter); break;
        case 2: launch_channel<T, ChannelKind::PhaseFlip>(rho, dim, target_mask, parameter); break;
        case 3: launch_channel<T, ChannelKind::Depolarizing>(rho, dim, target_mask, parameter); break;
        case 4: launch_channel<T, ChannelKind::AmplitudeDamping>(rho, dim, target_mask, parameter); break;
        case 5: launch_channel<T, ChannelKind::PhaseDamping>(rho, dim, target_mask, parameter); break;
        default: throw std::runtime_error("unknown noise channel kind");
    }
    check_launch("channel kernel launch failed: ");
}

template <typename T>
void apply_kraus(CuComplex<T>* rho, uint64_t dim, int64_t matrix_count, const CuComplex<T>* matrices,
                 const DeviceTargets& targets) {
    switch (targets.count) {
        case 1: launch_kraus<T, 1>(rho, dim, matrix_count, matrices, targets); break;
        case 2: launch_kraus<T, 2>(rho, dim, matrix_count, matrices, targets); break;
        case 3: launch_kraus<T, 3>(rho, dim, matrix_count, matrices, targets); break;
        default: throw std::runtime_error("GPU density Kraus supports at most 3 targets");
    }
    check_launch("kraus_kernel launch failed: ");
}

template void apply_channel<float>(CuComplex<float>*, uint64_t, uint64_t, int32_t, float);
template void apply_channel<double>(CuComplex<double>*, uint64_t, uint64_t, int32_t, double);
template void apply_kraus<float>(CuComplex<float>*, uint64_t, int64_t, const CuComplex<float>*, const DeviceTargets&);
template void apply_kraus<double>(CuComplex<double>*, uint64_t, int64_t, const CuComplex<double>*,
                                  const DeviceTargets&);

}  // namespace velloran::rhosim
