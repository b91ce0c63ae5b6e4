// The device facilities every kernel relies on, checked the same way in both builds: launches that
// honour grid, block and shared memory, block barriers, launch-configuration errors, double atomic
// addition, vector accesses of amplitudes, allocations, host registration and error texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "common/cu_complex.h"
#include "common/cuda_check.h"
#include "common/device_access.h"
#include "common/launch.h"
#include "test_support.h"

namespace {

using velloran::DeviceBuffer;
using velloran::launch_barrier_kernel;
using velloran::launch_kernel;
using velloran::launch_tile_kernel;
using velloran::testing::download;
using velloran::testing::RuntimeTest;
using velloran::testing::upload;

constexpr unsigned kBarrierBlock = 128;

// --- kernels -----------------------------------------------------------------------------------

// Elements of this block's chunk of `count`: `chunk`, or fewer in the last block.
VELLORAN_DEVICE unsigned chunk_length(uint64_t count, unsigned chunk) {
    const uint64_t rest = count - uint64_t{blockIdx.x} * chunk;
    return rest < chunk ? static_cast<unsigned>(rest) : chunk;
}

// Each block reverses its `chunk` elements through shared memory. Every loop strides by blockDim.x.
template <typename T>
__global__ void reverse_chunks(const T* in, T* out, uint64_t count, unsigned chunk) {
    T* buffer = velloran::dynamic_shared<T>();
    const uint64_t base = uint64_t{blockIdx.x} * chunk;
    const unsigned len = chunk_length(count, chunk);
    for (unsigned i = threadIdx.x; i < len; i += blockDim.x) buffer[i] = in[base + i];
    __syncthreads();
    for (unsigned i = threadIdx.x; i < len; i += blockDim.x) out[base + i] = buffer[len - 1 - i];
}

// Rotates each block's chunk left by `shift` in place: every read of the chunk must happen before
// any write, which only the barrier guarantees.
__global__ void rotate_chunks_in_place(double* data, uint64_t count, unsigned chunk, unsigned shift) {
    double* buffer = velloran::dynamic_shared<double>();
    const uint64_t base = uint64_t{blockIdx.x} * chunk;
    const unsigned len = chunk_length(count, chunk);
    for (unsigned i = threadIdx.x; i < len; i += blockDim.x) buffer[i] = data[base + i];
    __syncthreads();
    for (unsigned i = threadIdx.x; i < len; i += blockDim.x) data[base + i] = buffer[(i + shift) % len];
}

// A block-wide tree sum in shared memory, whose block totals meet in one double.
__global__ void sum_by_blocks(const double* in, uint64_t count, double* total) {
    double* partial = velloran::dynamic_shared<double>();
    double sum = 0;
    for (uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x; i < count;
         i += uint64_t{blockDim.x} * gridDim.x) {
        sum += in[i];
    }
    partial[threadIdx.x] = sum;
    __syncthreads();
    for (unsigned width = blockDim.x / 2; width > 0; width /= 2) {
        if (threadIdx.x < width) partial[threadIdx.x] += partial[threadIdx.x + width];
        __syncthreads();
    }
    if (threadIdx.x == 0) velloran::atomic_add(total, partial[0]);
}

// Every thread of a 3-D launch counts itself once in its own slot and writes the launch shape.
__global__ void count_threads(unsigned* slots, unsigned* shape) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    slots[block * (blockDim.x * blockDim.y * blockDim.z) + thread] += 1;
    if (block == 0 && thread == 0) {
        const unsigned dims[6] = {gridDim.x, gridDim.y, gridDim.z, blockDim.x, blockDim.y, blockDim.z};
        for (int i = 0; i < 6; ++i) shape[i] = dims[i];
    }
}

// Only the first thread of the whole grid writes: launches of many blocks in y and z as well.
__global__ void mark(int* flag) {
    if (blockIdx.x == 0 && blockIdx.y == 0 && blockIdx.z == 0 && threadIdx.x == 0) *flag = 1;
}

// Dynamic shared memory of the full launch size is usable: fill it and read it back, one checksum
// per block.
__global__ void fill_shared(unsigned bytes, unsigned* checksums) {
    unsigned char* shared = velloran::dynamic_shared<unsigned char>();
    for (unsigned i = threadIdx.x; i < bytes; i += blockDim.x) shared[i] = static_cast<unsigned char>(i * 7);
    __syncthreads();
    if (threadIdx.x == 0) {
        unsigned sum = 0;
        for (unsigned i = 0; i < bytes; ++i) sum += shared[i];
        checksums[blockIdx.x] = sum;
    }
}

__global__ void add_integers(double* totals, uint64_t count) {
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i >= count) return;
    velloran::atomic_add(totals, static_cast<double>(i % 7 + 1));
    velloran::atomic_add(totals + 1 + i % 4, 1.0);
}

// Exchanges the two amplitudes of each adjacent pair through the 16-byte pair accesses.
template <typename T>
__global__ void exchange_pairs(CuComplex<T>* data, uint64_t pairs) {
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i >= pairs) return;
    velloran::AmplitudePair<T> p = velloran::load_pair(data + 2 * i);
    const CuComplex<T> lo = p.lo;
    p.lo = p.hi;
    p.hi = lo;
    velloran::store_pair(data + 2 * i, p);
}

template <typename T>
__global__ void copy_pairs(const CuComplex<T>* in, CuComplex<T>* out, uint64_t pairs) {
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i < pairs) velloran::store_pair(out + 2 * i, velloran::load_pair(in + 2 * i));
}

template <typename T>
__global__ void copy_amplitudes(const CuComplex<T>* in, CuComplex<T>* out, uint64_t count) {
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i < count) velloran::store_amplitude(out + i, velloran::load_amplitude(in + i));
}

template <typename T>
__global__ void conjugate_amplitudes(CuComplex<T>* data, uint64_t count) {
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i >= count) return;
    CuComplex<T> a = velloran::load_amplitude(data + i);
    a.im = -a.im;
    velloran::store_amplitude(data + i, a);
}

std::vector<double> iota_doubles(uint64_t count, double start = 1) {
    std::vector<double> v(count);
    std::iota(v.begin(), v.end(), start);
    return v;
}

// --- barrier kernels -----------------------------------------------------------------------------

class BarrierKernels : public RuntimeTest {};

TEST_F(BarrierKernels, ReverseThroughSharedMemoryOverManyBlocks) {
    for (const unsigned chunk : {1u, 100u, 128u, 1000u}) {
        const uint64_t count = uint64_t{chunk} * 997 + chunk / 3;  // a short last block too
        const std::vector<double> host = iota_doubles(count);
        DeviceBuffer<double> in = upload(host);
        DeviceBuffer<double> out(count);
        const unsigned blocks = velloran::grid_for(count, chunk);
        launch_barrier_kernel<&reverse_chunks<double>>(dim3(blocks), dim3(kBarrierBlock), chunk * sizeof(double),
                                                       nullptr, in.get(), out.get(), count, chunk);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        const std::vector<double> result = download(out);
        for (uint64_t base = 0; base < count; base += chunk) {
            const uint64_t len = std::min<uint64_t>(chunk, count - base);
            for (uint64_t i = 0; i < len; ++i) {
                ASSERT_EQ(result[base + i], host[base + len - 1 - i]) << "chunk " << chunk << " index " << base + i;
            }
        }
    }
}

TEST_F(BarrierKernels, ReverseSinglePrecisionAndComplexElements) {
    const unsigned chunk = 300;
    const uint64_t count = chunk * 64;
    std::vector<CuComplex<float>> host(count);
    for (uint64_t i = 0; i < count; ++i) host[i] = {static_cast<float>(i), -static_cast<float>(i)};
    DeviceBuffer<CuComplex<float>> in = upload(host);
    DeviceBuffer<CuComplex<float>> out(count);
    launch_barrier_kernel<&reverse_chunks<CuComplex<float>>>(dim3(64), dim3(kBarrierBlock),
                                                             chunk * sizeof(CuComplex<float>), nullptr, in.get(),
                                                             out.get(), count, chunk);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<CuComplex<float>> result = download(out);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t mirrored = (i / chunk) * chunk + (chunk - 1 - i % chunk);
        ASSERT_EQ(result[i].re, host[mirrored].re);
        ASSERT_EQ(result[i].im, host[mirrored].im);
    }
}

TEST_F(BarrierKernels, RotateInPlaceNeedsEveryReadBeforeAnyWrite) {
    const unsigned chunk = 777;
    const unsigned shift = 300;
    const uint64_t count = uint64_t{chunk} * 513;
    const std::vector<double> host = iota_doubles(count);
    DeviceBuffer<double> data = upload(host);
    launch_barrier_kernel<&rotate_chunks_in_place>(dim3(513), dim3(kBarrierBlock), chunk * sizeof(double), nullptr,
                                                   data.get(), count, chunk, shift);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<double> result = download(data);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t base = i / chunk * chunk;
        ASSERT_EQ(result[i], host[base + (i - base + shift) % chunk]) << i;
    }
}

TEST_F(BarrierKernels, TreeSumPerBlockMeetsInOneDouble) {
    const uint64_t count = 1u << 20;
    DeviceBuffer<double> in = upload(iota_doubles(count));
    DeviceBuffer<double> total = upload(std::vector<double>{0.0});
    launch_barrier_kernel<&sum_by_blocks>(dim3(300), dim3(kBarrierBlock), kBarrierBlock * sizeof(double), nullptr,
                                          in.get(), count, total.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(download(total)[0], static_cast<double>(count) * (count + 1) / 2);  // exact: below 2^53
}

// Fills `bytes` of shared memory in each of four blocks through `launch` and checks every block's sum.
template <typename Launch>
void expect_shared_allowance_usable(unsigned bytes, Launch launch) {
    DeviceBuffer<unsigned> checksums = upload(std::vector<unsigned>(4, 0));
    launch(bytes, checksums.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    unsigned expected = 0;
    for (unsigned i = 0; i < bytes; ++i) expected += static_cast<unsigned char>(i * 7);
    EXPECT_EQ(download(checksums), std::vector<unsigned>(4, expected));
}

TEST_F(BarrierKernels, WholeSharedMemoryAllowanceIsUsable) {
    expect_shared_allowance_usable(48 * 1024, [](unsigned bytes, unsigned* sums) {
        launch_barrier_kernel<&fill_shared>(dim3(4), dim3(kBarrierBlock), bytes, nullptr, bytes, sums);
    });
}

// Tile kernels have the backend's tile allowance, which may exceed a block's; no byte past it.
TEST_F(BarrierKernels, TileKernelsHaveTheTileAllowanceAndNoMore) {
    const unsigned bytes = static_cast<unsigned>(velloran::kTileSharedBytes);
    expect_shared_allowance_usable(bytes, [](unsigned b, unsigned* sums) {
        launch_tile_kernel<&fill_shared>(dim3(4), dim3(kBarrierBlock), b, nullptr, b, sums);
    });
    DeviceBuffer<unsigned> checksums = upload(std::vector<unsigned>(4, 0));
    launch_tile_kernel<&fill_shared>(dim3(4), dim3(kBarrierBlock), bytes + 1, nullptr, bytes + 1, checksums.get());
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
    EXPECT_EQ(download(checksums), std::vector<unsigned>(4, 0));
}

// --- launch geometry and configuration errors ---------------------------------------------------

class Launches : public RuntimeTest {};

TEST_F(Launches, EveryThreadOfA3DLaunchRunsOnceWithItsCoordinates) {
    const dim3 grid(5, 3, 2);
    const dim3 block(8, 4, 2);
    const unsigned total = 5 * 3 * 2 * 8 * 4 * 2;
    DeviceBuffer<unsigned> slots = upload(std::vector<unsigned>(total, 0));
    DeviceBuffer<unsigned> shape = upload(std::vector<unsigned>(6, 0));
    launch_kernel<&count_threads>(grid, block, 0, nullptr, slots.get(), shape.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(download(slots), std::vector<unsigned>(total, 1));
    EXPECT_EQ(download(shape), (std::vector<unsigned>{5, 3, 2, 8, 4, 2}));
}

struct BadLaunch {
    const char* name;
    dim3 grid;
    dim3 block;
    size_t shared;
    cudaError_t error;
};

void PrintTo(const BadLaunch& bad, std::ostream* os) { *os << bad.name; }

class LaunchConfiguration : public RuntimeTest, public ::testing::WithParamInterface<BadLaunch> {};

TEST_P(LaunchConfiguration, IsRefusedLikeTheRuntimeAndDoesNotRun) {
    const BadLaunch& bad = GetParam();
    DeviceBuffer<int> flag = upload(std::vector<int>{0});
    launch_kernel<&mark>(bad.grid, bad.block, bad.shared, nullptr, flag.get());
    EXPECT_EQ(cudaGetLastError(), bad.error);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the error is cleared once read";
    EXPECT_EQ(download(flag)[0], 0);
    // The same refusal for a barrier launch.
    launch_barrier_kernel<&mark>(bad.grid, bad.block, bad.shared, nullptr, flag.get());
    EXPECT_EQ(cudaGetLastError(), bad.error);
    EXPECT_EQ(download(flag)[0], 0);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, LaunchConfiguration,
    ::testing::Values(BadLaunch{"block_1025", dim3(1), dim3(1025), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"block_2048_threads", dim3(1), dim3(32, 32, 2), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"block_z_65", dim3(1), dim3(1, 1, 65), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"block_0", dim3(1), dim3(0), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"grid_0", dim3(0), dim3(32), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"grid_y_65536", dim3(1, 65536), dim3(32), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"grid_z_65536", dim3(1, 1, 65536), dim3(32), 0, cudaErrorInvalidConfiguration},
                      BadLaunch{"shared_48k_plus_1", dim3(1), dim3(32), 48 * 1024 + 1, cudaErrorInvalidValue}),
    [](const ::testing::TestParamInfo<BadLaunch>& info) { return std::string(info.param.name); });

TEST_F(Launches, LimitsThemselvesAreAccepted) {
    DeviceBuffer<int> flag = upload(std::vector<int>{0});
    launch_kernel<&mark>(dim3(1, 65535, 1), dim3(1024), 48 * 1024, nullptr, flag.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(download(flag)[0], 1);
}

TEST_F(Launches, LaunchCheckReportsThePendingErrorWithItsPrefix) {
    DeviceBuffer<int> flag = upload(std::vector<int>{0});
    launch_kernel<&mark>(dim3(1), dim3(1025), 0, nullptr, flag.get());
    try {
        velloran::check_launch("cu_test kernel launch failed: ");
        FAIL() << "no error reported";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "cu_test kernel launch failed: invalid configuration argument");
    }
    EXPECT_NO_THROW(velloran::check_launch("cu_test kernel launch failed: "));
}

TEST(GridSizes, CoverTheItemsAndRefuseWhatDoesNotFit) {
    EXPECT_EQ(velloran::grid_for(0, 256), 1u);
    EXPECT_EQ(velloran::grid_for(1, 256), 1u);
    EXPECT_EQ(velloran::grid_for(256, 256), 1u);
    EXPECT_EQ(velloran::grid_for(257, 256), 2u);
    EXPECT_EQ(velloran::grid_for(uint64_t{2147483647} * 256, 256), 2147483647u);
    EXPECT_EQ(velloran::grid_for(uint64_t{2147483647} * 256 + 1, 256), 0u);
    EXPECT_EQ(velloran::grid_for(UINT64_MAX, 256), 0u);
    EXPECT_EQ(velloran::capped_grid_for(UINT64_MAX, 256, 65535), 65535u);
    EXPECT_EQ(velloran::capped_grid_for(1000, 256, 65535), 4u);
    EXPECT_EQ(velloran::capped_grid_for(0, 256, 65535), 1u);
}

// --- atomics and vector accesses -----------------------------------------------------------------

class Atomics : public RuntimeTest {};

TEST_F(Atomics, DoubleAdditionFromManyBlocksIsExactForIntegers) {
    const uint64_t count = uint64_t{4096} * 256 + 77;
    double expected = 0;
    for (uint64_t i = 0; i < count; ++i) expected += static_cast<double>(i % 7 + 1);
    for (int round = 0; round < 3; ++round) {
        DeviceBuffer<double> totals = upload(std::vector<double>(5, 0.0));
        launch_kernel<&add_integers>(dim3(velloran::grid_for(count, 256)), dim3(256), 0, nullptr, totals.get(),
                                     count);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        const std::vector<double> result = download(totals);
        EXPECT_EQ(result[0], expected);
        for (uint64_t bin = 0; bin < 4; ++bin) {
            EXPECT_EQ(result[1 + bin], static_cast<double>(count / 4 + (bin < count % 4)));
        }
    }
}

template <typename T>
class VectorAccess : public RuntimeTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(VectorAccess, Precisions);

template <typename T>
std::vector<CuComplex<T>> odd_amplitudes(uint64_t count) {
    std::vector<CuComplex<T>> v(count);
    for (uint64_t i = 0; i < count; ++i) v[i] = {static_cast<T>(i) + T(0.25), -static_cast<T>(3 * i) - T(0.5)};
    // Values whose bits must survive unchanged: a signalling-looking NaN payload, -0, infinities.
    uint64_t payload = 0x7ff4000000000123ull;
    std::memcpy(&v[3].re, &payload, sizeof(T));
    v[5].im = -T(0);
    v[6].re = std::numeric_limits<T>::infinity();
    return v;
}

TYPED_TEST(VectorAccess, PairsAndAmplitudesRoundTripBitForBit) {
    using T = TypeParam;
    const uint64_t count = 2 * 1000;
    const std::vector<CuComplex<T>> host = odd_amplitudes<T>(count);
    DeviceBuffer<CuComplex<T>> in = upload(host);
    DeviceBuffer<CuComplex<T>> pairs(count);
    DeviceBuffer<CuComplex<T>> singles(count);
    launch_kernel<&copy_pairs<T>>(dim3(velloran::grid_for(count / 2, 256)), dim3(256), 0, nullptr, in.get(),
                                  pairs.get(), count / 2);
    launch_kernel<&copy_amplitudes<T>>(dim3(velloran::grid_for(count, 256)), dim3(256), 0, nullptr, in.get(),
                                       singles.get(), count);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<CuComplex<T>> by_pairs = download(pairs);
    const std::vector<CuComplex<T>> by_singles = download(singles);
    EXPECT_EQ(std::memcmp(by_pairs.data(), host.data(), count * sizeof(CuComplex<T>)), 0);
    EXPECT_EQ(std::memcmp(by_singles.data(), host.data(), count * sizeof(CuComplex<T>)), 0);
}

TYPED_TEST(VectorAccess, PairHalvesAreTheTwoAdjacentAmplitudesInOrder) {
    using T = TypeParam;
    const uint64_t count = 2 * 513;
    const std::vector<CuComplex<T>> host = odd_amplitudes<T>(count);
    DeviceBuffer<CuComplex<T>> data = upload(host);
    launch_kernel<&exchange_pairs<T>>(dim3(velloran::grid_for(count / 2, 256)), dim3(256), 0, nullptr, data.get(),
                                      count / 2);
    launch_kernel<&conjugate_amplitudes<T>>(dim3(velloran::grid_for(count, 256)), dim3(256), 0, nullptr,
                                            data.get(), count);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<CuComplex<T>> result = download(data);
    for (uint64_t i = 0; i < count; ++i) {
        const CuComplex<T> source = host[i ^ 1];
        const CuComplex<T> expected{source.re, -source.im};
        ASSERT_EQ(std::memcmp(&result[i], &expected, sizeof expected), 0) << i;
    }
}

// --- memory, registration, errors ------------------------------------------------------------------

class Memory : public RuntimeTest {};

TEST_F(Memory, AllocationsAreAlignedTo256Bytes) {
    for (const size_t bytes : {size_t{1}, size_t{7}, size_t{16}, size_t{255}, size_t{256}, size_t{257}, size_t{4097},
                               size_t{1} << 20}) {
        void* p = nullptr;
        ASSERT_EQ(cudaMalloc(&p, bytes), cudaSuccess) << bytes;
        EXPECT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 256, 0u) << bytes;
        // The whole requested size is usable.
        EXPECT_EQ(cudaMemset(p, 0xab, bytes), cudaSuccess);
        EXPECT_EQ(cudaFree(p), cudaSuccess);
    }
}

TEST_F(Memory, AbsurdSizesAreOutOfMemory) {
    for (const size_t bytes : {SIZE_MAX, SIZE_MAX - 255, SIZE_MAX / 2 + 1, size_t{1} << 62, size_t{1} << 48}) {
        void* p = nullptr;
        EXPECT_EQ(cudaMalloc(&p, bytes), cudaErrorMemoryAllocation) << bytes;
        EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation) << "the failure is also the last error";
    }
}

TEST_F(Memory, CheckedCudaClearsTheErrorItReports) {
    void* p = nullptr;
    try {
        velloran::check_cuda(cudaMalloc(&p, size_t{1} << 48));
        FAIL() << "no error reported";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CUDA error: out of memory");
    }
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(Memory, ByteCountsThatWrapFailAsOutOfMemory) {
    EXPECT_EQ(velloran::checked_bytes(uint64_t{1} << 59, 16), size_t{1} << 63);
    EXPECT_EQ(velloran::checked_bytes(uint64_t{1} << 60, 8), size_t{1} << 63);
    EXPECT_EQ(velloran::checked_bytes(SIZE_MAX, 1), SIZE_MAX);
    EXPECT_EQ(velloran::checked_bytes(12345, 0), 0u);
    for (const auto& [count, element] : std::vector<std::pair<uint64_t, size_t>>{
             {uint64_t{1} << 60, 16}, {uint64_t{1} << 61, 8}, {uint64_t{1} << 62, 16}, {SIZE_MAX / 16 + 1, 16},
             {SIZE_MAX, 2}}) {
        try {
            (void)velloran::checked_bytes(count, element);
            ADD_FAILURE() << count << " x " << element << " was accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "CUDA error: out of memory");
        }
    }
}

TEST_F(Memory, DeviceBufferOfUnrepresentableSizeAllocatesNothing) {
    EXPECT_THROW(DeviceBuffer<CuComplex<double>>(uint64_t{1} << 60), std::runtime_error);
    EXPECT_THROW(DeviceBuffer<CuComplex<float>>(uint64_t{1} << 61), std::runtime_error);
}

TEST_F(Memory, CopiesAndFillsAreComplete) {
    const std::vector<double> host = iota_doubles(1000);
    DeviceBuffer<double> a = upload(host);
    DeviceBuffer<double> b(1000);
    ASSERT_EQ(cudaMemcpy(b.get(), a.get(), 1000 * sizeof(double), cudaMemcpyDeviceToDevice), cudaSuccess);
    EXPECT_EQ(download(b), host);
    ASSERT_EQ(cudaMemset(a.get(), 0, 1000 * sizeof(double)), cudaSuccess);
    EXPECT_EQ(download(a), std::vector<double>(1000, 0.0));
}

class HostRegistration : public RuntimeTest {};

TEST_F(HostRegistration, SucceedsOrFailsLikeTheRuntimeAndChangesNothing) {
    std::vector<char> buffer(1 << 20);
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<char>(i * 31);
    const std::vector<char> before = buffer;
    ASSERT_EQ(cudaHostRegister(buffer.data(), buffer.size(), cudaHostRegisterDefault), cudaSuccess);
    EXPECT_EQ(cudaHostRegister(buffer.data(), buffer.size(), cudaHostRegisterDefault),
              cudaErrorHostMemoryAlreadyRegistered);
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryAlreadyRegistered);
    EXPECT_EQ(cudaHostRegister(buffer.data() + 4096, 4096, cudaHostRegisterDefault),
              cudaErrorHostMemoryAlreadyRegistered);
    (void)cudaGetLastError();
    EXPECT_EQ(cudaHostUnregister(buffer.data()), cudaSuccess);
    EXPECT_EQ(cudaHostUnregister(buffer.data()), cudaErrorHostMemoryNotRegistered);
    EXPECT_EQ(cudaGetLastError(), cudaErrorHostMemoryNotRegistered);
    EXPECT_EQ(buffer, before);
}

TEST_F(HostRegistration, UnknownPointerIsNotRegistered) {
    std::vector<char> buffer(4096);
    EXPECT_EQ(cudaHostUnregister(buffer.data()), cudaErrorHostMemoryNotRegistered);
    (void)cudaGetLastError();
}

TEST_F(HostRegistration, RegisteredBufferCopiesNormally) {
    std::vector<double> host = iota_doubles(4096);
    DeviceBuffer<double> device(4096);
    ASSERT_EQ(cudaHostRegister(host.data(), host.size() * sizeof(double), cudaHostRegisterDefault), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(device.get(), host.data(), 4096 * sizeof(double), cudaMemcpyHostToDevice), cudaSuccess);
    EXPECT_EQ(cudaHostUnregister(host.data()), cudaSuccess);
    EXPECT_EQ(download(device), iota_doubles(4096));
}

TEST(ErrorTexts, EqualTheRuntimeTexts) {
    const std::vector<std::pair<cudaError_t, const char*>> texts = {
        {cudaSuccess, "no error"},
        {cudaErrorInvalidValue, "invalid argument"},
        {cudaErrorMemoryAllocation, "out of memory"},
        {cudaErrorInvalidConfiguration, "invalid configuration argument"},
        {cudaErrorInvalidDevicePointer, "invalid device pointer"},
        {cudaErrorInvalidMemcpyDirection, "invalid copy direction for memcpy"},
        {cudaErrorInvalidDevice, "invalid device ordinal"},
        {cudaErrorInvalidResourceHandle, "invalid resource handle"},
        {cudaErrorHostMemoryAlreadyRegistered, "part or all of the requested memory range is already mapped"},
        {cudaErrorHostMemoryNotRegistered, "pointer does not correspond to a registered memory region"},
        {cudaErrorLaunchFailure, "unspecified launch failure"},
    };
    for (const auto& [code, text] : texts) EXPECT_STREQ(cudaGetErrorString(code), text) << static_cast<int>(code);
}

TEST(ErrorTexts, CheckCudaPrefixesTheText) {
    try {
        velloran::check_cuda(cudaErrorInvalidDevice);
        FAIL() << "no error reported";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "CUDA error: invalid device ordinal");
    }
    EXPECT_NO_THROW(velloran::check_cuda(cudaSuccess));
}

}  // namespace
