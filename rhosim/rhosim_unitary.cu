// rho -> C rho C^dagger for controlled unitaries: the merged kernels for one and two targets, the
// left and right passes for three to six (four to six as shared-memory tiles), and the diagonal and
// permutation kernels that need no matrix product.
#include <stdexcept>

#include "../common/cuda_check.h"
#include "density_kernels.h"
#include "rhosim_launchers.h"

namespace velloran::rhosim {

namespace {

// One whole 2^K x 2^K block per work item (K = 1, 2): each thread reads its block before it writes
// any of it, so no thread depends on another.
template <typename T, int K>
__global__ void unitary_merged_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets, uint64_t control_mask,
                                      uint64_t control_value, const CuComplex<T>* matrix) {
    constexpr int D = 1 << K;
    const BlockLayout<K> layout(targets);
    CuComplex<T> u[D * D];
    for (int e = 0; e < D * D; ++e) u[e] = load_amplitude(matrix + e);
    const uint64_t items = layout.items();
    const uint64_t stride = thread_stride_1d();
    for (uint64_t i = thread_index_1d(); i < items; i += stride) {
        const uint64_t row = layout.row_base(i);
        const uint64_t col = layout.col_base(i);
        const bool row_on = (row & control_mask) == control_value;
        const bool col_on = (col & control_mask) == control_value;
        if (!row_on && !col_on) continue;
        CuComplex<T> b[D * D];
        layout.load(rho, dim, row, col, b);
        if (row_on) multiply_left<T, D>(u, b);
        if (col_on) multiply_right_dagger<T, D>(u, b);
        layout.store(rho, dim, row, col, b);
    }
}

// Left pass: one column segment of length 2^K per work item, v = U v. Consecutive items take
// consecutive columns of the same rows, so neighbouring threads read neighbouring entries.
template <typename T, int K>
__global__ void unitary_left_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets, uint64_t control_mask,
                                    uint64_t control_value, const CuComplex<T>* matrix) {
    constexpr int D = 1 << K;
    const BlockLayout<K> layout(targets);
    const int dim_bits = static_cast<int>(targets.other_count + targets.count);
    const uint64_t items = layout.groups * dim;
    const uint64_t* offs = layout.offs;
    const uint64_t stride = thread_stride_1d();
    for (uint64_t i = thread_index_1d(); i < items; i += stride) {
        const uint64_t col = i & (dim - 1);
        const uint64_t row = expand_group(i >> dim_bits, layout.target_mask);
        if ((row & control_mask) != control_value) continue;
        CuComplex<T> v[D];
        for (int a = 0; a < D; ++a) v[a] = load_amplitude(rho + ((row | offs[a]) * dim + col));
        for (int x = 0; x < D; ++x) {
            CuComplex<T> acc{T(0), T(0)};
            for (int z = 0; z < D; ++z) acc = acc + load_amplitude(matrix + (x * D + z)) * v[z];
            store_amplitude(rho + ((row | offs[x]) * dim + col), acc);
        }
    }
}

// Right pass: one row segment per work item, w = w U^dagger.
template <typename T, int K>
__global__ void unitary_right_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets, uint64_t control_mask,
                                     uint64_t control_value, const CuComplex<T>* matrix) {
    constexpr int D = 1 << K;
    const BlockLayout<K> layout(targets);
    const uint64_t items = layout.groups * dim;
    const uint64_t* offs = layout.offs;
    const uint64_t stride = thread_stride_1d();
    for (uint64_t i = thread_index_1d(); i < items; i += stride) {
        const uint64_t row = i >> layout.other_bits;
        const uint64_t col = layout.col_base(i);
        if ((col & control_mask) != control_value) continue;
        CuComplex<T>* line = rho + row * dim;
        CuComplex<T> w[D];
        for (int b = 0; b < D; ++b) w[b] = load_amplitude(line + (col | offs[b]));
        for (int b = 0; b < D; ++b) {
            CuComplex<T> acc{T(0), T(0)};
            for (int c = 0; c < D; ++c) acc = acc + mul_conj(w[c], load_amplitude(matrix + (b * D + c)));
            store_amplitude(line + (col | offs[b]), acc);
        }
    }
}

// The merged product for two targets as a tile of whole blocks (see BlockTile): U B where the row
// base meets the controls, then (U B) U^dagger where the column base does, each entry summed in the
// order of multiply_left and multiply_right_dagger.
template <typename T, int K>
__global__ void unitary_merged_tile_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets,
                                           uint64_t control_mask, uint64_t control_value, const CuComplex<T>* matrix) {
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
        // Columns of U B (of B where the row base misses the controls) into the product; items the
        // controls miss on both sides are left alone.
        for (uint64_t l = thread; l < lines; l += step) {
            const uint64_t w = l / D;
            const bool row_on = (tile.rows[w] & control_mask) == control_value;
            if (!row_on && (tile.cols[w] & control_mask) != control_value) continue;
            CuComplex<T> column[D];
            tile.read_column(rho, dim, l, column);
            if (row_on) {
                tile.set_left_product_column(matrix, l, column);
            } else {
                tile.set_product_column(l, column);
            }
        }
        __syncthreads();
        for (uint64_t l = thread; l < lines; l += step) {
            const uint64_t w = l / D;
            const bool row_on = (tile.rows[w] & control_mask) == control_value;
            if ((tile.cols[w] & control_mask) != control_value) {
                if (row_on) tile.store_row(rho, dim, l, tile.product + l * D);
                continue;
            }
            CuComplex<T>* line = rho + ((tile.rows[w] | tile.offs[l % D]) * dim + tile.cols[w]);
            const uint64_t* offs = tile.offs;
            tile.right_dagger_row(matrix, l,
                                  [line, offs](uint64_t c, CuComplex<T> v) { store_amplitude(line + offs[c], v); });
        }
        __syncthreads();
    }
}

// The left and right passes on tiles: a thread block stages C segments of D entries (C * D =
// kTileEntries, or fewer when the matrix has fewer), segment c at tile + c * (D + 1) (the padding
// keeps a warp's shared-memory accesses on distinct banks), then writes every output entry from its
// staged segment.

// Left pass: one row group and C consecutive columns per tile; v = U v on every column segment.
template <typename T, int K>
__global__ void unitary_left_tile_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets, uint64_t control_mask,
                                         uint64_t control_value, const CuComplex<T>* matrix, int chunk_bits) {
    constexpr uint64_t D = uint64_t{1} << K;
    constexpr uint64_t S = D + 1;  // segment stride
    CuComplex<T>* tile = dynamic_shared<CuComplex<T>>();
    uint64_t* offs = reinterpret_cast<uint64_t*>(tile + kTileEntries + (kTileEntries >> K));
    const uint64_t thread = threadIdx.x;
    const uint64_t step = blockDim.x;
    const uint64_t target_mask = target_mask_of(targets);
    const uint64_t columns = uint64_t{1} << chunk_bits;
    const uint64_t chunks = dim >> chunk_bits;
    const uint64_t tiles = (uint64_t{1} << targets.other_count) * chunks;
    const uint64_t entries = D * columns;
    for (uint64_t a = thread; a < D; a += step) {
        uint64_t o = 0;
        for (int j = 0; j < K; ++j) {
            if ((a >> j) & 1) o |= uint64_t{1} << static_cast<int32_t>(targets.targets[j]);
        }
        offs[a] = o * dim;
    }
    __syncthreads();
    for (uint64_t t = blockIdx.x; t < tiles; t += gridDim.x) {
        const uint64_t row = expand_group(t / chunks, target_mask);
        if ((row & control_mask) != control_value) continue;  // the same for the whole block
        CuComplex<T>* base = rho + row * dim + (t % chunks) * columns;
        for (uint64_t e = thread; e < entries; e += step) {
            const uint64_t c = e & (columns - 1);
            tile[c * S + (e >> chunk_bits)] = load_amplitude(base + (offs[e >> chunk_bits] + c));
        }
        __syncthreads();
        for (uint64_t e = thread; e < entries; e += step) {
            const uint64_t c = e & (columns - 1);
            const CuComplex<T>* u = matrix + (e >> chunk_bits) * D;
            const CuComplex<T>* v = tile + c * S;
            CuComplex<T> acc{T(0), T(0)};
            for (uint64_t z = 0; z < D; ++z) acc = acc + load_amplitude(u + z) * v[z];
            store_amplitude(base + (offs[e >> chunk_bits] + c), acc);
        }
        __syncthreads();
    }
}

// Right pass: one row and C consecutive column groups per tile; w = w U^dagger on every row segment.
// Group g0 + c of a tile starts at column expand(g0) | expand(c), since g0 is a multiple of C.
template <typename T, int K>
__global__ void unitary_right_tile_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets,
                                          uint64_t control_mask, uint64_t control_value, const CuComplex<T>* matrix,
                                          int chunk_bits) {
    constexpr uint64_t D = uint64_t{1} << K;
    constexpr uint64_t S = D + 1;  // segment stride
    CuComplex<T>* tile = dynamic_shared<CuComplex<T>>();
    uint64_t* offs = reinterpret_cast<uint64_t*>(tile + kTileEntries + (kTileEntries >> K));
    uint64_t* group_cols = offs + D;
    const uint64_t thread = threadIdx.x;
    const uint64_t step = blockDim.x;
    const uint64_t target_mask = target_mask_of(targets);
    const uint64_t columns = uint64_t{1} << chunk_bits;
    const uint64_t chunks = (uint64_t{1} << targets.other_count) >> chunk_bits;
    const uint64_t tiles = dim * chunks;
    const uint64_t entries = D * columns;
    for (uint64_t a = thread; a < D; a += step) {
        uint64_t o = 0;
        for (int j = 0; j < K; ++j) {
            if ((a >> j) & 1) o |= uint64_t{1} << static_cast<int32_t>(targets.targets[j]);
        }
        offs[a] = o;
    }
    for (uint64_t c = thread; c < columns; c += step) group_cols[c] = expand_group(c, target_mask);
    __syncthreads();
    for (uint64_t t = blockIdx.x; t < tiles; t += gridDim.x) {
        CuComplex<T>* line = rho + (t / chunks) * dim;
        const uint64_t col0 = expand_group((t % chunks) << chunk_bits, target_mask);
        for (uint64_t e = thread; e < entries; e += step) {
            const uint64_t c = e & (columns - 1);
            const uint64_t col = col0 | group_cols[c];
            if ((col & control_mask) != control_value) continue;
            tile[c * S + (e >> chunk_bits)] = load_amplitude(line + (col | offs[e >> chunk_bits]));
        }
        __syncthreads();
        for (uint64_t e = thread; e < entries; e += step) {
            const uint64_t c = e & (columns - 1);
            const uint64_t col = col0 | group_cols[c];
            if ((col & control_mask) != control_value) continue;
            const CuComplex<T>* u = matrix + (e >> chunk_bits) * D;
            const CuComplex<T>* w = tile + c * S;
            CuComplex<T> acc{T(0), T(0)};
            for (uint64_t z = 0; z < D; ++z) acc = acc + mul_conj(w[z], load_amplitude(u + z));
            store_amplitude(line + (col | offs[e >> chunk_bits]), acc);
        }
        __syncthreads();
    }
}

template <typename T>
__global__ void diagonal_controlled_kernel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, uint64_t control_mask,
                                           uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1) {
    const uint64_t r = entry_row();
    const uint64_t c = entry_column();
    if (r >= dim || c >= dim) return;
    const CuComplex<T> one{T(1), T(0)};
    const CuComplex<T> a = (r & control_mask) == control_value ? ((r & target_mask) ? d1 : d0) : one;
    const CuComplex<T> b = (c & control_mask) == control_value ? ((c & target_mask) ? d1 : d0) : one;
    CuComplex<T>* entry = rho + (r * dim + c);
    store_amplitude(entry, load_amplitude(entry) * mul_conj(a, b));
}

// Without controls only the entries whose row and column differ on the target bit change (the
// entries of a phase gate have modulus one).
template <typename T>
__global__ void diagonal_free_kernel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, CuComplex<T> f10,
                                     CuComplex<T> f01) {
    const uint64_t r = entry_row();
    const uint64_t c = entry_column();
    if (r >= dim || c >= dim) return;
    const bool row_bit = (r & target_mask) != 0;
    const bool col_bit = (c & target_mask) != 0;
    if (row_bit == col_bit) return;
    CuComplex<T>* entry = rho + (r * dim + c);
    store_amplitude(entry, load_amplitude(entry) * (row_bit ? f10 : f01));
}

// Each entry pair (r, c) <-> (r', c') is exchanged once, by the thread of the smaller pair.
template <typename T>
__global__ void permutation_kernel(CuComplex<T>* rho, uint64_t dim, uint64_t flip_mask, uint64_t control_mask,
                                   uint64_t control_value, bool is_swap) {
    const uint64_t r = entry_row();
    const uint64_t c = entry_column();
    if (r >= dim || c >= dim) return;
    auto on = [&](uint64_t x) {
        if ((x & control_mask) != control_value) return false;
        if (!is_swap) return true;
        const uint64_t bits = x & flip_mask;
        return bits != 0 && bits != flip_mask;
    };
    const uint64_t r2 = on(r) ? r ^ flip_mask : r;
    const uint64_t c2 = on(c) ? c ^ flip_mask : c;
    if (r2 > r || (r2 == r && c2 > c)) {
        const CuComplex<T> a = load_amplitude(rho + (r * dim + c));
        store_amplitude(rho + (r * dim + c), load_amplitude(rho + (r2 * dim + c2)));
        store_amplitude(rho + (r2 * dim + c2), a);
    }
}

template <typename T, int K>
void launch_merged(CuComplex<T>* rho, uint64_t dim, uint64_t control_mask, uint64_t control_value,
                   const CuComplex<T>* matrix, const DeviceTargets& targets) {
    const uint64_t groups = dim >> K;
    if constexpr (K == 1) {
        launch_kernel<&unitary_merged_kernel<T, K>>(dim3(grid_for(groups * groups, kDensityBlock)),
                                                    dim3(kDensityBlock), 0, nullptr, rho, dim, targets, control_mask,
                                                    control_value, matrix);
    } else {
        using Tile = BlockTile<T, K>;
        launch_barrier_kernel<&unitary_merged_tile_kernel<T, K>>(dim3(grid_for(groups * groups, Tile::W)),
                                                                 dim3(kDensityBlock), Tile::kSharedBytes, nullptr, rho,
                                                                 dim, targets, control_mask, control_value, matrix);
    }
}

// log2 of the columns (left) or column groups (right) of one tile of the K-target passes.
template <int K>
int tile_chunk_bits(uint64_t count) {
    int bits = 0;
    while ((uint64_t{1} << (bits + 1)) <= count && (uint64_t{1} << (bits + 1 + K)) <= kTileEntries) ++bits;
    return bits;
}

template <typename T, int K>
void launch_left_right(CuComplex<T>* rho, uint64_t dim, uint64_t control_mask, uint64_t control_value,
                       const CuComplex<T>* matrix, const DeviceTargets& targets) {
    if constexpr (K == 3) {
        const dim3 grid(grid_for((dim >> K) * dim, kDensityBlock));
        launch_kernel<&unitary_left_kernel<T, K>>(grid, dim3(kDensityBlock), 0, nullptr, rho, dim, targets,
                                                  control_mask, control_value, matrix);
        launch_kernel<&unitary_right_kernel<T, K>>(grid, dim3(kDensityBlock), 0, nullptr, rho, dim, targets,
                                                   control_mask, control_value, matrix);
    } else {
        // Padded segments, offsets and (right) the column groups' bases.
        constexpr uint64_t D = uint64_t{1} << K;
        const size_t shared =
            (kTileEntries + kTileEntries / D) * sizeof(CuComplex<T>) + (D + kTileEntries / D) * sizeof(uint64_t);
        const uint64_t groups = dim >> K;
        const int left_bits = tile_chunk_bits<K>(dim);
        launch_barrier_kernel<&unitary_left_tile_kernel<T, K>>(dim3(grid_for(groups * (dim >> left_bits), 1)),
                                                               dim3(kDensityBlock), shared, nullptr, rho, dim, targets,
                                                               control_mask, control_value, matrix, left_bits);
        const int right_bits = tile_chunk_bits<K>(groups);
        launch_barrier_kernel<&unitary_right_tile_kernel<T, K>>(dim3(grid_for(dim * (groups >> right_bits), 1)),
                                                                dim3(kDensityBlock), shared, nullptr, rho, dim, targets,
                                                                control_mask, control_value, matrix, right_bits);
    }
}

}  // namespace

template <typename T>
void apply_unitary(CuComplex<T>* rho, uint64_t dim, uint64_t control_mask, uint64_t control_value,
                   const CuComplex<T>* matrix, const DeviceTargets& targets) {
    switch (targets.count) {
        case 1: launch_merged<T, 1>(rho, dim, control_mask, control_value, matrix, targets); break;
        case 2: launch_merged<T, 2>(rho, dim, control_mask, control_value, matrix, targets); break;
        case 3: launch_left_right<T, 3>(rho, dim, control_mask, control_value, matrix, targets); break;
        case 4: launch_left_right<T, 4>(rho, dim, control_mask, control_value, matrix, targets); break;
        case 5: launch_left_right<T, 5>(rho, dim, control_mask, control_value, matrix, targets); break;
        case 6: launch_left_right<T, 6>(rho, dim, control_mask, control_value, matrix, targets); break;
        default: throw std::runtime_error("GPU density unitary supports at most 6 targets");
    }
    check_launch("unitary kernel launch failed: ");
}

template <typename T>
void apply_diagonal(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, uint64_t control_mask,
                    uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1) {
    const dim3 block(kTileX, kTileY);
    if (control_mask == 0) {
        launch_kernel<&diagonal_free_kernel<T>>(entry_grid(dim), block, 0, nullptr, rho, dim, target_mask,
                                                mul_conj(d1, d0), mul_conj(d0, d1));
    } else {
        launch_kernel<&diagonal_controlled_kernel<T>>(entry_grid(dim), block, 0, nullptr, rho, dim, target_mask,
                                                      control_mask, control_value, d0, d1);
    }
    check_launch("diagonal kernel launch failed: ");
}

template <typename T>
void apply_permutation(CuComplex<T>* rho, uint64_t dim, uint64_t flip_mask, uint64_t control_mask,
                       uint64_t control_value, bool is_swap) {
    launch_kernel<&permutation_kernel<T>>(entry_grid(dim), dim3(kTileX, kTileY), 0, nullptr, rho, dim, flip_mask,
                                          control_mask, control_value, is_swap);
    check_launch("permutation kernel launch failed: ");
}

#define RHOSIM_UNITARY_TWINS(T)                                                                                   \
    template void apply_unitary<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, const CuComplex<T>*,              \
                                   const DeviceTargets&);                                                         \
    template void apply_diagonal<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, CuComplex<T>,          \
                                    CuComplex<T>);                                                                \
    template void apply_permutation<T>(CuComplex<T>*, uint64_t, uint64_t, uint64_t, uint64_t, bool);
RHOSIM_UNITARY_TWINS(float)
RHOSIM_UNITARY_TWINS(double)
#undef RHOSIM_UNITARY_TWINS

}  // namespace velloran::rhosim
