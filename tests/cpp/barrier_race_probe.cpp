// Kernels that are wrong on purpose, each one barrier short, for the ThreadSanitizer job to prove
// that it sees such races when barrier blocks run with all their threads. Built only with
// VELLORAN_TSAN and run only by scripts/tsan.sh, one probe at a time, each expected to be reported.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <vector>

#include "common/launch.h"
#include "test_support.h"

namespace {

using velloran::DeviceBuffer;
using velloran::launch_barrier_kernel;
using velloran::testing::download;
using velloran::testing::RuntimeTest;
using velloran::testing::upload;

constexpr unsigned kBlock = 64;

// Reverses each block's chunk through shared memory, but reads the chunk back without waiting for
// the other threads to have written it.
__global__ void probe_reverse_without_barrier(const double* in, double* out, unsigned chunk) {
    double* buffer = velloran::dynamic_shared<double>();
    const uint64_t base = uint64_t{blockIdx.x} * chunk;
    for (unsigned i = threadIdx.x; i < chunk; i += blockDim.x) buffer[i] = in[base + i];
    // __syncthreads() belongs here.
    for (unsigned i = threadIdx.x; i < chunk; i += blockDim.x) out[base + i] = buffer[chunk - 1 - i];
}

// Walks several tiles per block like the fused kernels do: load, barrier, a pass in which each thread
// combines two entries another thread loaded, barrier, store. The barrier after the store is
// missing, so the next tile's load overwrites entries that slower threads still read for the pass.
__global__ void probe_tiles_without_trailing_barrier(double* data, unsigned tiles, unsigned tile) {
    double* s = velloran::dynamic_shared<double>();
    for (unsigned t = blockIdx.x; t < tiles; t += gridDim.x) {
        double* base = data + uint64_t{t} * tile;
        for (unsigned i = threadIdx.x; i < tile; i += blockDim.x) s[i] = base[i];
        __syncthreads();
        double mine[8];
        unsigned count = 0;
        for (unsigned i = threadIdx.x; i < tile / 2 && count < 8; i += blockDim.x) {
            mine[count++] = s[2 * i] + s[2 * i + 1];
        }
        count = 0;
        for (unsigned i = threadIdx.x; i < tile / 2 && count < 8; i += blockDim.x) base[i] = mine[count++];
        // __syncthreads() belongs here: the next load writes s while others may still be reading it.
    }
}

// A block-wide tree sum whose steps are not separated by barriers.
__global__ void probe_tree_sum_without_step_barriers(const double* in, double* out) {
    double* partial = velloran::dynamic_shared<double>();
    partial[threadIdx.x] = in[uint64_t{blockIdx.x} * blockDim.x + threadIdx.x];
    __syncthreads();
    for (unsigned width = blockDim.x / 2; width > 0; width /= 2) {
        if (threadIdx.x < width) partial[threadIdx.x] += partial[threadIdx.x + width];
        // __syncthreads() belongs here.
    }
    if (threadIdx.x == 0) out[blockIdx.x] = partial[0];
}

class RaceProbe : public RuntimeTest {
protected:
    void SetUp() override {
        RuntimeTest::SetUp();
        ASSERT_EQ(velloran::host::barrier_threads(), velloran::host::BarrierThreads::Block)
            << "the probes race only with VELLORAN_HOST_BARRIER_THREADS=block";
    }
};

std::vector<double> ramp(size_t count) {
    std::vector<double> v(count);
    std::iota(v.begin(), v.end(), 1.0);
    return v;
}

TEST_F(RaceProbe, ReadBeforeOtherThreadsWrote) {
    const unsigned chunk = 3 * kBlock, blocks = 4;
    DeviceBuffer<double> in = upload(ramp(chunk * blocks));
    DeviceBuffer<double> out(chunk * blocks);
    launch_barrier_kernel<&probe_reverse_without_barrier>(dim3(blocks), dim3(kBlock), chunk * sizeof(double), nullptr,
                                                          in.get(), out.get(), chunk);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    (void)download(out);
}

TEST_F(RaceProbe, NextTileLoadedWhileTheLastIsRead) {
    const unsigned tile = 4 * kBlock, tiles = 12;
    DeviceBuffer<double> data = upload(ramp(tile * tiles));
    launch_barrier_kernel<&probe_tiles_without_trailing_barrier>(dim3(2), dim3(kBlock), tile * sizeof(double),
                                                                 nullptr, data.get(), tiles, tile);
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    (void)download(data);
}

TEST_F(RaceProbe, TreeSumStepsOverlap) {
    const unsigned blocks = 3;
    DeviceBuffer<double> in = upload(ramp(kBlock * blocks));
    DeviceBuffer<double> out(blocks);
    launch_barrier_kernel<&probe_tree_sum_without_step_barriers>(dim3(blocks), dim3(kBlock), kBlock * sizeof(double),
                                                                 nullptr, in.get(), out.get());
    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    (void)download(out);
}

}  // namespace
