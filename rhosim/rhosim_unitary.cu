// rho -> C rho C^dagger for controlled unitaries: the merged kernels for one and two targets, the
// left and right passes for three to six, and the diagonal and permutation kernels that need no
// matrix product.
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
    launch_kernel<&unitary_merged_kernel<T, K>>(dim3(grid_for(groups * groups, kDensityBlock)), dim3(kDensityBlock), 0,
                                                nullptr, rho, dim, targets, control_mask, control_value, matrix);
}

template <typename T, int K>
void launch_left_right(CuComplex<T>* rho, uint64_t dim, uint64_t control_mask, uint64_t control_value,
                       const CuComplex<T>* matrix, const DeviceTargets& targets) {
    const dim3 grid(grid_for((dim >> K) * dim, kDensityBlock));
    launch_kernel<&unitary_left_kernel<T, K>>(grid, dim3(kDensityBlock), 0, nullptr, rho, dim, targets, control_mask,
                                              control_value, matrix);
    launch_kernel<&unitary_right_kernel<T, K>>(grid, dim3(kDensityBlock), 0, nullptr, rho, dim, targets, control_mask,
                                               control_value, matrix);
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
