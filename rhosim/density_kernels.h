// Pieces the density kernels share: thread coordinates, the product of a small block with U from the
// left and with U^dagger from the right, and the closed-form update of the five built-in channels on
// one 2 x 2 block.
#pragma once

#include <math.h>

#include <cstdint>

#include "../common/cu_complex.h"
#include "../common/device_access.h"
#include "../common/launch.h"
#include "density_types.h"

namespace velloran::rhosim {

constexpr unsigned int kDensityBlock = 256;
constexpr unsigned int kTileX = 32;
constexpr unsigned int kTileY = 8;

// Read once into locals by the kernels: on the host the coordinates are thread-local variables that
// every store through a matrix pointer could alias, so re-reading them in a loop costs a load each time.
VELLORAN_DEVICE uint64_t thread_index_1d() { return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; }
VELLORAN_DEVICE uint64_t thread_stride_1d() { return static_cast<uint64_t>(blockDim.x) * gridDim.x; }
// Entry coordinates of the (32, 8) launches: x runs over columns, y over rows.
VELLORAN_DEVICE uint64_t entry_column() { return static_cast<uint64_t>(blockIdx.x) * blockDim.x + threadIdx.x; }
VELLORAN_DEVICE uint64_t entry_row() { return static_cast<uint64_t>(blockIdx.y) * blockDim.y + threadIdx.y; }

// The (32, 8) geometry covering a dim x dim matrix one entry per thread.
inline dim3 entry_grid(uint64_t dim) {
    return dim3(static_cast<unsigned>((dim + kTileX - 1) / kTileX), static_cast<unsigned>((dim + kTileY - 1) / kTileY));
}

// The 2^K x 2^K blocks of a K-target operation: work item i takes row group i >> other_bits and
// column group i & (groups - 1); a block's entries are (row base | offs[a], column base | offs[b]).
template <int K>
struct BlockLayout {
    static constexpr int D = 1 << K;
    uint64_t target_mask;
    int other_bits;
    uint64_t groups;
    uint64_t offs[D];

    VELLORAN_DEVICE explicit BlockLayout(const DeviceTargets& t)
        : target_mask(target_mask_of(t)),
          other_bits(static_cast<int>(t.other_count)),
          groups(uint64_t{1} << t.other_count) {
        local_offsets<K>(t, offs);
    }
    VELLORAN_DEVICE uint64_t items() const { return groups * groups; }
    VELLORAN_DEVICE uint64_t row_base(uint64_t i) const { return expand_group(i >> other_bits, target_mask); }
    VELLORAN_DEVICE uint64_t col_base(uint64_t i) const { return expand_group(i & (groups - 1), target_mask); }

    template <typename T>
    VELLORAN_DEVICE void load(const CuComplex<T>* rho, uint64_t dim, uint64_t row, uint64_t col,
                              CuComplex<T> (&b)[D * D]) const {
        for (int a = 0; a < D; ++a) {
            for (int c = 0; c < D; ++c) b[a * D + c] = load_amplitude(rho + ((row | offs[a]) * dim + (col | offs[c])));
        }
    }
    template <typename T>
    VELLORAN_DEVICE void store(CuComplex<T>* rho, uint64_t dim, uint64_t row, uint64_t col,
                               const CuComplex<T> (&b)[D * D]) const {
        for (int a = 0; a < D; ++a) {
            for (int c = 0; c < D; ++c) store_amplitude(rho + ((row | offs[a]) * dim + (col | offs[c])), b[a * D + c]);
        }
    }
};

// b = U b for a D x D block held row-major; sums in index order from zero.
template <typename T, int D>
VELLORAN_DEVICE void multiply_left(const CuComplex<T>* u, CuComplex<T> (&b)[D * D]) {
    for (int y = 0; y < D; ++y) {
        CuComplex<T> column[D];
        for (int x = 0; x < D; ++x) {
            CuComplex<T> acc{T(0), T(0)};
            for (int z = 0; z < D; ++z) acc = acc + u[x * D + z] * b[z * D + y];
            column[x] = acc;
        }
        for (int x = 0; x < D; ++x) b[x * D + y] = column[x];
    }
}

// b = b U^dagger: entries b[x][y] = sum over z of b[x][z] * conj(U[y][z]).
template <typename T, int D>
VELLORAN_DEVICE void multiply_right_dagger(const CuComplex<T>* u, CuComplex<T> (&b)[D * D]) {
    for (int x = 0; x < D; ++x) {
        CuComplex<T> row[D];
        for (int y = 0; y < D; ++y) {
            CuComplex<T> acc{T(0), T(0)};
            for (int z = 0; z < D; ++z) acc = acc + mul_conj(b[x * D + z], u[y * D + z]);
            row[y] = acc;
        }
        for (int y = 0; y < D; ++y) b[x * D + y] = row[y];
    }
}

// The tile kernels: a thread block stages a fixed number of entries in shared memory and walks them
// with loops that stride by blockDim.x, meeting at barriers, so no thread keeps a whole block of a
// large operation in registers. kTileEntries complex128 entries are 16 KB, small enough for two
// blocks per SM on every architecture we build for.
constexpr uint64_t kTileEntries = 1024;
// Entries of the whole-block tiles (Kraus sums, merged unitaries): three arrays of this many.
constexpr uint64_t kBlockTileEntries = 256;

// A tile of W = kBlockTileEntries / D^2 consecutive work items of a K-target operation, each a
// whole D x D block. The shared memory holds three entry arrays (the block, a product, a sum), the
// local offsets and the items' row and column bases.
template <typename T, int K>
struct BlockTile {
    static constexpr uint64_t D = uint64_t{1} << K;
    static constexpr uint64_t W = kBlockTileEntries / (D * D);
    static constexpr size_t kSharedBytes =
        3 * kBlockTileEntries * sizeof(CuComplex<T>) + (D + 2 * W) * sizeof(uint64_t);

    CuComplex<T>* block;
    CuComplex<T>* product;
    CuComplex<T>* sum;
    uint64_t* offs;
    uint64_t* rows;
    uint64_t* cols;

    VELLORAN_DEVICE explicit BlockTile(CuComplex<T>* shared)
        : block(shared),
          product(shared + kBlockTileEntries),
          sum(shared + 2 * kBlockTileEntries),
          offs(reinterpret_cast<uint64_t*>(shared + 3 * kBlockTileEntries)),
          rows(offs + D),
          cols(rows + W) {}

    // The local offsets, once per kernel; the first barrier of the tile loop publishes them.
    VELLORAN_DEVICE void set_offsets(const DeviceTargets& t) const {
        for (uint64_t a = threadIdx.x; a < D; a += blockDim.x) {
            uint64_t o = 0;
            for (int j = 0; j < K; ++j) {
                if ((a >> j) & 1) o |= uint64_t{1} << static_cast<int32_t>(t.targets[j]);
            }
            offs[a] = o;
        }
    }
    // Row and column bases of items first .. first + count - 1 (count <= W).
    VELLORAN_DEVICE void set_bases(uint64_t first, uint64_t count, uint64_t target_mask, int other_bits) const {
        const uint64_t groups = uint64_t{1} << other_bits;
        for (uint64_t w = threadIdx.x; w < count; w += blockDim.x) {
            rows[w] = expand_group((first + w) >> other_bits, target_mask);
            cols[w] = expand_group((first + w) & (groups - 1), target_mask);
        }
    }
    // The tile works in lines of D entries: line l is local row (or, for the left product, column)
    // l % D of item l / D. A thread takes whole lines, so the index arithmetic and the matrix rows
    // are paid once per D entries.

    // The item's row l % D from rho into the block; its entries lie at offs[c] from the row's start.
    VELLORAN_DEVICE void load_row(const CuComplex<T>* rho, uint64_t dim, uint64_t l) const {
        const uint64_t w = l / D;
        const CuComplex<T>* line = rho + ((rows[w] | offs[l % D]) * dim + cols[w]);
        for (uint64_t c = 0; c < D; ++c) block[l * D + c] = load_amplitude(line + offs[c]);
    }
    // D values (a tile row or a thread's own) into the item's row l % D of rho.
    VELLORAN_DEVICE void store_row(CuComplex<T>* rho, uint64_t dim, uint64_t l, const CuComplex<T>* values) const {
        const uint64_t w = l / D;
        CuComplex<T>* line = rho + ((rows[w] | offs[l % D]) * dim + cols[w]);
        for (uint64_t c = 0; c < D; ++c) store_amplitude(line + offs[c], values[c]);
    }
    // The item's column l % D of rho, read straight from device memory.
    VELLORAN_DEVICE void read_column(const CuComplex<T>* rho, uint64_t dim, uint64_t l,
                                     CuComplex<T> (&column)[D]) const {
        const uint64_t w = l / D;
        const CuComplex<T>* top = rho + (rows[w] * dim + (cols[w] | offs[l % D]));
        for (uint64_t z = 0; z < D; ++z) column[z] = load_amplitude(top + offs[z] * dim);
    }
    // Column l % D of the staged block.
    VELLORAN_DEVICE void block_column(uint64_t l, CuComplex<T> (&column)[D]) const {
        const uint64_t first = l / D * D * D + l % D;
        for (uint64_t z = 0; z < D; ++z) column[z] = block[first + z * D];
    }
    // Column l % D of M C into the product, C a column held by the thread and M a row-major D x D
    // matrix in device memory; each entry summed in index order from zero. The outer loop stays a
    // loop on the GPU (one output at a time, written straight to shared memory), so a thread holds
    // one column and no matrix rows.
    VELLORAN_DEVICE void set_left_product_column(const CuComplex<T>* m, uint64_t l,
                                                 const CuComplex<T> (&column)[D]) const {
        const uint64_t first = l / D * D * D + l % D;
#pragma unroll 1
        for (uint64_t x = 0; x < D; ++x) {
            CuComplex<T> acc{T(0), T(0)};
            for (uint64_t z = 0; z < D; ++z) acc = acc + load_amplitude(m + (x * D + z)) * column[z];
            product[first + x * D] = acc;
        }
    }
    // A column into the product's column l % D unchanged.
    VELLORAN_DEVICE void set_product_column(uint64_t l, const CuComplex<T> (&column)[D]) const {
        const uint64_t first = l / D * D * D + l % D;
        for (uint64_t z = 0; z < D; ++z) product[first + z * D] = column[z];
    }
    // Row x = l % D of P M^dagger, P the product: emit(y, sum over z of P[x][z] * conj(M[y][z])) for
    // each y, in order.
    template <typename Emit>
    VELLORAN_DEVICE void right_dagger_row(const CuComplex<T>* m, uint64_t l, Emit&& emit) const {
        CuComplex<T> row[D];
        for (uint64_t z = 0; z < D; ++z) row[z] = product[l * D + z];
#pragma unroll 1
        for (uint64_t y = 0; y < D; ++y) {
            CuComplex<T> acc{T(0), T(0)};
            for (uint64_t z = 0; z < D; ++z) acc = acc + mul_conj(row[z], load_amplitude(m + (y * D + z)));
            emit(y, acc);
        }
    }
};

VELLORAN_DEVICE float channel_sqrt(float x) { return sqrtf(x); }
VELLORAN_DEVICE double channel_sqrt(double x) { return sqrt(x); }

// True when the channel changes the populations b[0] and b[3] (bit flip, depolarizing, amplitude
// damping); the others only scale the coherences.
VELLORAN_DEVICE bool channel_moves_populations(int32_t kind) { return kind == 1 || kind == 3 || kind == 4; }

// The built-in channel `kind` on the block b = [a00, a01, a10, a11]; these are the Kraus sums of
// the channels' standard sets written out.
template <typename T>
VELLORAN_DEVICE void apply_channel_rule(int32_t kind, T p, CuComplex<T> (&b)[4]) {
    const CuComplex<T> a00 = b[0], a01 = b[1], a10 = b[2], a11 = b[3];
    switch (kind) {
        case 1: {  // bit flip
            const T q = T(1) - p;
            b[0] = scale(a00, q) + scale(a11, p);
            b[1] = scale(a01, q) + scale(a10, p);
            b[2] = scale(a01, p) + scale(a10, q);
            b[3] = scale(a00, p) + scale(a11, q);
            break;
        }
        case 2: {  // phase flip
            const T f = T(1) - T(2) * p;
            b[1] = scale(a01, f);
            b[2] = scale(a10, f);
            break;
        }
        case 3: {  // depolarizing
            const T half = p * T(0.5);
            const T keep = T(1) - half;
            const T coherence = T(1) - p;
            b[0] = scale(a00, keep) + scale(a11, half);
            b[1] = scale(a01, coherence);
            b[2] = scale(a10, coherence);
            b[3] = scale(a00, half) + scale(a11, keep);
            break;
        }
        case 4: {  // amplitude damping
            const T s = channel_sqrt(T(1) - p);
            b[0] = a00 + scale(a11, p);
            b[1] = scale(a01, s);
            b[2] = scale(a10, s);
            b[3] = scale(a11, T(1) - p);
            break;
        }
        case 5: {  // phase damping
            const T f = T(1) - p;
            b[1] = scale(a01, f);
            b[2] = scale(a10, f);
            break;
        }
        default: break;
    }
}


}  // namespace velloran::rhosim
