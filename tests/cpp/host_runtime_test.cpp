// What only the host build's stand-in for the runtime does: how it runs a grid on the CPU cores,
// how it reports a barrier outside a barrier kernel, its two ways of running the blocks of a
// barrier kernel, its single device, and allocations that the machine cannot hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/block_loops.h"
#include "common/launch.h"
#include "test_support.h"

namespace {

using velloran::DeviceBuffer;
using velloran::launch_barrier_kernel;
using velloran::launch_kernel;
using velloran::host::BarrierThreads;
using velloran::testing::BarrierThreadsScope;
using velloran::testing::download;
using velloran::testing::RuntimeTest;
using velloran::testing::upload;

__global__ void copy_then_barrier(const double* in, double* out, uint64_t count) {
    const uint64_t i = uint64_t{blockIdx.x} * blockDim.x + threadIdx.x;
    if (i < count) out[i] = in[i];
    __syncthreads();
}

std::mutex g_seen_mutex;
std::map<unsigned, std::set<std::thread::id>> g_workers_by_block;

__global__ void record_worker() {
    std::lock_guard<std::mutex> lock(g_seen_mutex);
    g_workers_by_block[blockIdx.x].insert(std::this_thread::get_id());
}

// Every thread writes the coordinates it reads, before and after a barrier, into a slot of its own.
constexpr unsigned kSlot = 10;
__global__ void record_coordinates(unsigned* slots) {
    const unsigned block = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    const unsigned threads = blockDim.x * blockDim.y * blockDim.z;
    const unsigned thread = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    unsigned* slot = slots + kSlot * (uint64_t{block} * threads + thread);
    slot[0] += 1;
    slot[1] = threadIdx.x;
    slot[2] = threadIdx.y;
    slot[3] = threadIdx.z;
    slot[4] = blockDim.x;
    slot[5] = blockDim.y;
    slot[6] = blockDim.z;
    __syncthreads();
    slot[7] = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * threadIdx.z);
    slot[8] = blockIdx.x + gridDim.x * (blockIdx.y + gridDim.y * blockIdx.z);
    __syncthreads();
    slot[9] = threadIdx.x;
}

// Values travel round the block through shared memory, one place per round: right only when every
// thread has written before any reads, and has read before any writes again.
__global__ void pass_around(unsigned rounds, unsigned* out) {
    unsigned* shared = velloran::dynamic_shared<unsigned>();
    unsigned value = blockIdx.x * 10000 + threadIdx.x;
    for (unsigned r = 0; r < rounds; ++r) {
        shared[threadIdx.x] = value;
        __syncthreads();
        value = shared[(threadIdx.x + 1) % blockDim.x] + 1;
        __syncthreads();
    }
    out[blockIdx.x * blockDim.x + threadIdx.x] = value;
}

// A third of the threads return before the first barrier and a third after it; the rest pass two
// more and then sum what every thread wrote before leaving.
__global__ void leave_early(unsigned* out) {
    unsigned* shared = velloran::dynamic_shared<unsigned>();
    const unsigned t = threadIdx.x;
    shared[t] = t + 1;
    if (t % 3 == 0) return;
    __syncthreads();
    if (t % 3 == 1) return;
    __syncthreads();
    unsigned sum = 0;
    for (unsigned i = 0; i < blockDim.x; ++i) sum += shared[i];
    __syncthreads();
    out[blockIdx.x * blockDim.x + t] = sum;
}

size_t machine_bytes() {
    FILE* f = std::fopen("/proc/meminfo", "r");
    unsigned long long kib = 0;
    if (f) {
        char line[256];
        while (std::fgets(line, sizeof line, f)) {
            if (std::sscanf(line, "MemTotal: %llu kB", &kib) == 1) break;
        }
        std::fclose(f);
    }
    return static_cast<size_t>(kib) * 1024;
}

class HostLaunches : public RuntimeTest {};

TEST_F(HostLaunches, BarrierInAnOrdinaryLaunchIsALaunchFailure) {
    const std::vector<double> host(1000, 2.5);
    DeviceBuffer<double> in = upload(host);
    DeviceBuffer<double> out(1000);
    launch_kernel<&copy_then_barrier>(dim3(4), dim3(256), 0, nullptr, in.get(), out.get(), uint64_t{1000});
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);

    // Left pending, it surfaces at the next blocking copy instead, and only there.
    launch_kernel<&copy_then_barrier>(dim3(4), dim3(256), 0, nullptr, in.get(), out.get(), uint64_t{1000});
    std::vector<double> back(1000);
    EXPECT_EQ(cudaMemcpy(back.data(), out.get(), 1000 * sizeof(double), cudaMemcpyDeviceToHost),
              cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaMemcpy(back.data(), out.get(), 1000 * sizeof(double), cudaMemcpyDeviceToHost), cudaSuccess);

    // And at a stream synchronisation.
    launch_kernel<&copy_then_barrier>(dim3(1), dim3(32), 0, nullptr, in.get(), out.get(), uint64_t{32});
    EXPECT_EQ(cudaStreamSynchronize(nullptr), cudaErrorLaunchFailure);
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

TEST_F(HostLaunches, BarrierKernelsAreAllowedTheirBarriersOnly) {
    const std::vector<double> host(64, 1.0);
    DeviceBuffer<double> in = upload(host);
    DeviceBuffer<double> out(64);
    velloran::launch_barrier_kernel<&copy_then_barrier>(dim3(2), dim3(32), 0, nullptr, in.get(), out.get(),
                                                        uint64_t{64});
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    // The permission ends with the barrier launch.
    launch_kernel<&copy_then_barrier>(dim3(1), dim3(32), 0, nullptr, in.get(), out.get(), uint64_t{32});
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
}

TEST_F(HostLaunches, BlocksShareOutOverEveryWorkerAndEachBlockStaysOnOne) {
    g_workers_by_block.clear();
    const unsigned blocks = 64;
    launch_kernel<&record_worker>(dim3(blocks), dim3(16), 0, nullptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    std::set<std::thread::id> all;
    ASSERT_EQ(g_workers_by_block.size(), blocks);
    for (const auto& [block, workers] : g_workers_by_block) {
        EXPECT_EQ(workers.size(), 1u) << "block " << block << " ran on several threads";
        all.insert(workers.begin(), workers.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(std::min(velloran::host::worker_count(), static_cast<unsigned>(blocks))));
}

// Blocks of the grid's first half return at once; those of the second half work a while.
__global__ void record_worker_in_second_half() {
    if (blockIdx.x < gridDim.x / 2) return;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    record_worker();
}

// The busy half of an uneven grid runs on several workers, not on the one whose share of the grid
// it would be if the grid were cut in equal parts.
TEST_F(HostLaunches, WorkersShareTheBusyBlocksOfAnUnevenGrid) {
    if (velloran::host::worker_count() < 2) GTEST_SKIP() << "one worker";
    g_workers_by_block.clear();
    const unsigned blocks = 512;
    launch_kernel<&record_worker_in_second_half>(dim3(blocks), dim3(1), 0, nullptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    ASSERT_EQ(g_workers_by_block.size(), blocks / 2);
    std::set<std::thread::id> busy;
    for (const auto& [block, workers] : g_workers_by_block) busy.insert(workers.begin(), workers.end());
    EXPECT_GE(busy.size(), 2u);
}

// --- the two ways a barrier block runs ---------------------------------------------------------

// Which way the test process was started with; a misspelt setting must not pass as the default.
TEST(BarrierThreadsMode, FollowsTheEnvironment) {
    const char* text = std::getenv("VELLORAN_HOST_BARRIER_THREADS");
    const bool block = text != nullptr && std::string(text) == "block";
    EXPECT_EQ(velloran::host::barrier_threads(), block ? BarrierThreads::Block : BarrierThreads::One);
}

TEST(BarrierThreadsMode, UnknownSettingStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, which reads the setting anew
    const char* before = std::getenv("VELLORAN_HOST_BARRIER_THREADS");
    const std::string saved = before ? before : "";
    setenv("VELLORAN_HOST_BARRIER_THREADS", "blocks", 1);
    EXPECT_DEATH(velloran::host::barrier_threads(), "VELLORAN_HOST_BARRIER_THREADS must be 'one' or 'block'");
    if (before) {
        setenv("VELLORAN_HOST_BARRIER_THREADS", saved.c_str(), 1);
    } else {
        unsetenv("VELLORAN_HOST_BARRIER_THREADS");
    }
}

class BlockThreads : public RuntimeTest {};

TEST_F(BlockThreads, EveryThreadRunsOnceWithItsOwnCoordinatesAcrossBarriers) {
    const BarrierThreadsScope scope(BarrierThreads::Block);
    for (const auto& [grid, block] : {std::pair{dim3(3, 2, 2), dim3(8, 4, 2)}, std::pair{dim3(5), dim3(1024)},
                                      std::pair{dim3(7), dim3(1)}, std::pair{dim3(2), dim3(33, 3)}}) {
        const unsigned blocks = grid.x * grid.y * grid.z;
        const unsigned threads = block.x * block.y * block.z;
        SCOPED_TRACE(::testing::Message() << blocks << " blocks of " << block.x << "x" << block.y << "x" << block.z);
        DeviceBuffer<unsigned> slots = upload(std::vector<unsigned>(kSlot * blocks * threads, 0));
        launch_barrier_kernel<&record_coordinates>(grid, block, 0, nullptr, slots.get());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        const std::vector<unsigned> seen = download(slots);
        for (unsigned b = 0; b < blocks; ++b) {
            for (unsigned t = 0; t < threads; ++t) {
                const unsigned* slot = seen.data() + kSlot * (b * threads + t);
                const std::vector<unsigned> expected = {
                    1, t % block.x, (t / block.x) % block.y, t / (block.x * block.y), block.x, block.y, block.z,
                    t, b, t % block.x};
                ASSERT_EQ(std::vector<unsigned>(slot, slot + kSlot), expected) << "block " << b << " thread " << t;
            }
        }
    }
}

TEST_F(BlockThreads, ThreadsMeetAtEveryBarrierThroughOneSharedBufferPerBlock) {
    const BarrierThreadsScope scope(BarrierThreads::Block);
    const unsigned blocks = 37, threads = 96, rounds = 9;
    DeviceBuffer<unsigned> out(blocks * threads);
    launch_barrier_kernel<&pass_around>(dim3(blocks), dim3(threads), threads * sizeof(unsigned), nullptr, rounds,
                                        out.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<unsigned> result = download(out);
    for (unsigned b = 0; b < blocks; ++b) {
        for (unsigned t = 0; t < threads; ++t) {
            ASSERT_EQ(result[b * threads + t], b * 10000 + (t + rounds) % threads + rounds) << b << " " << t;
        }
    }
}

TEST_F(BlockThreads, ThreadsThatReturnedCountAsArrivedAtLaterBarriers) {
    const BarrierThreadsScope scope(BarrierThreads::Block);
    for (const unsigned threads : {1u, 2u, 3u, 128u, 1000u}) {
        const unsigned blocks = 9;
        DeviceBuffer<unsigned> out = upload(std::vector<unsigned>(blocks * threads, 0));
        launch_barrier_kernel<&leave_early>(dim3(blocks), dim3(threads), threads * sizeof(unsigned), nullptr,
                                            out.get());
        ASSERT_EQ(cudaGetLastError(), cudaSuccess);
        const std::vector<unsigned> result = download(out);
        for (unsigned i = 0; i < result.size(); ++i) {
            const unsigned expected = i % threads % 3 == 2 ? threads * (threads + 1) / 2 : 0;
            ASSERT_EQ(result[i], expected) << threads << " threads, slot " << i;
        }
    }
}

TEST_F(BlockThreads, OrdinaryLaunchesRunAsBeforeAndStillRefuseBarriers) {
    const BarrierThreadsScope scope(BarrierThreads::Block);
    g_workers_by_block.clear();
    launch_kernel<&record_worker>(dim3(16), dim3(64), 0, nullptr);
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    for (const auto& [block, workers] : g_workers_by_block) EXPECT_EQ(workers.size(), 1u) << "block " << block;

    const std::vector<double> host(64, 1.0);
    DeviceBuffer<double> in = upload(host);
    DeviceBuffer<double> out(64);
    launch_kernel<&copy_then_barrier>(dim3(2), dim3(32), 0, nullptr, in.get(), out.get(), uint64_t{64});
    EXPECT_EQ(cudaGetLastError(), cudaErrorLaunchFailure);
    launch_barrier_kernel<&copy_then_barrier>(dim3(2), dim3(32), 0, nullptr, in.get(), out.get(), uint64_t{64});
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
    EXPECT_EQ(download(out), host);
}

TEST_F(BlockThreads, SingleThreadBlocksReadBlockDimOne) {
    const BarrierThreadsScope scope(BarrierThreads::One);
    DeviceBuffer<unsigned> slots = upload(std::vector<unsigned>(kSlot * 4, 0));
    launch_barrier_kernel<&record_coordinates>(dim3(4), dim3(128), 0, nullptr, slots.get());
    ASSERT_EQ(cudaGetLastError(), cudaSuccess);
    const std::vector<unsigned> seen = download(slots);
    for (unsigned b = 0; b < 4; ++b) {
        EXPECT_EQ(std::vector<unsigned>(seen.begin() + kSlot * b, seen.begin() + kSlot * (b + 1)),
                  (std::vector<unsigned>{1, 0, 0, 0, 1, 1, 1, 0, b, 0}));
    }
}

class HostDevice : public RuntimeTest {};

// Records the host walk's read-ahead requests instead of prefetching, as for elements of 128 bytes;
// VectorBody as for a block kernel's body.
template <bool VectorBody>
struct RecordingStreams {
    static constexpr bool kVectorBody = VectorBody;
    static constexpr size_t kElementBytes = 128;
    static constexpr int count = 1;
    struct Request {
        uint64_t visited;  // indices the walk had visited when it asked
        uint64_t index;
        uint64_t span;
    };
    std::vector<Request>* requests;
    const uint64_t* visited;
    void read_ahead(uint64_t index, uint64_t span) const { requests->push_back({*visited, index, span}); }
};

// Where stretches between fixed bits are 512 bytes to 4 KiB, the walk asks ahead for aligned
// blocks that it goes on to visit, within the index space, and before it visits them: every index
// past the blocks it reads ahead by is asked for first. Walks in blocks of several sizes, so that runs are also
// cut at block ends; stretches too short, too long, and too short below one that fits. A body
// marked as vector-wide is walked the same way, each index once.
template <bool VectorBody>
void check_read_ahead_before_visits() {
    using Streams = RecordingStreams<VectorBody>;
    struct Case {
        int32_t bits;
        uint64_t fixed;
        uint64_t value;
        bool reads_ahead;
    };
    const Case cases[] = {{8, 0b1, 0, false},          {8, 0b1000, 0b1000, true},   {10, 0b100001, 1, true},
                          {10, 0b11, 0b10, false},     {12, 0b1100000, 0, true},    {12, 0b10001000, 0, true},
                          {10, 0b100000000, 0, false}, {6, 0, 0, false},            {12, 0b10000100, 0b100, true},
                          {12, 0b1000000010, 0, false}, {12, 0b100010, 0b10, true}};
    for (const Case& c : cases) {
        const uint64_t count = (uint64_t{1} << c.bits) >> velloran::bit_count(c.fixed);
        for (const uint64_t block : {uint64_t{4}, uint64_t{32}, count}) {
            SCOPED_TRACE(::testing::Message() << "fixed " << c.fixed << " block " << block);
            std::vector<uint64_t> order;
            uint64_t visited = 0;
            std::vector<typename Streams::Request> requests;
            const Streams streams{&requests, &visited};
            for (uint64_t first = 0; first < count; first += block) {
                velloran::host::for_range_runs(first, std::min(count, first + block), count, c.fixed, c.value, streams,
                                               [&](uint64_t i) {
                                                   order.push_back(i);
                                                   ++visited;
                                               });
            }
            std::vector<uint64_t> expected(count), walked = order;
            for (uint64_t q = 0; q < count; ++q) expected[q] = velloran::insert_zero_bits(q, c.fixed, c.value);
            std::sort(expected.begin(), expected.end());
            std::sort(walked.begin(), walked.end());
            ASSERT_EQ(walked, expected);
            ASSERT_EQ(!requests.empty(), c.reads_ahead);
            if (requests.empty()) continue;
            const uint64_t span = requests.front().span;
            for (const auto& r : requests) {
                ASSERT_EQ(r.span, span);
                ASSERT_EQ(span & (span - 1), 0u);
                ASSERT_EQ(r.index % span, 0u);
                ASSERT_LE(r.index + span, uint64_t{1} << c.bits);
                ASSERT_TRUE(std::any_of(order.begin() + r.visited, order.end(),
                                        [&](uint64_t i) { return i - r.index < span; }))
                    << "block " << r.index << " is not visited after the request";
            }
            // The walk reads several blocks ahead, so only the blocks it opens with go unasked.
            const uint64_t ahead = velloran::host::read_ahead_blocks(span * Streams::kElementBytes);
            std::vector<uint64_t> opening_blocks;
            for (uint64_t j = 0; j < count; ++j) {
                const uint64_t i = order[j];
                const uint64_t b = i & ~(span - 1);
                if (std::find(opening_blocks.begin(), opening_blocks.end(), b) != opening_blocks.end()) continue;
                if (opening_blocks.size() < ahead) {
                    opening_blocks.push_back(b);
                    continue;
                }
                ASSERT_TRUE(std::any_of(requests.begin(), requests.end(),
                                        [&](const auto& r) { return r.visited <= j && i - r.index < span; }))
                    << "index " << i << " was not asked for before its visit";
            }
        }
    }
}

TEST(HostWalk, ReadsAheadEveryBlockBeforeVisitingIt) {
    check_read_ahead_before_visits<false>();
    check_read_ahead_before_visits<true>();
}

TEST_F(HostDevice, ExactlyOneDeviceWithOrdinalZero) {
    int count = -1;
    int current = -1;
    EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(cudaGetDevice(&current), cudaSuccess);
    EXPECT_EQ(current, 0);
    for (const int ordinal : {1, 2, -1, 1 << 30}) {
        EXPECT_EQ(cudaSetDevice(ordinal), cudaErrorInvalidDevice) << ordinal;
        EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidDevice);
        EXPECT_STREQ(cudaGetErrorString(cudaErrorInvalidDevice), "invalid device ordinal");
    }
    EXPECT_EQ(cudaSetDevice(0), cudaSuccess);
}

TEST_F(HostDevice, AllocationsBeyondTheMachineFailWithoutKillingTheProcess) {
    const size_t total = machine_bytes();
    ASSERT_GT(total, 0u);
    for (const size_t bytes : {total + (size_t{1} << 30), 2 * total, total * 16}) {
        void* p = reinterpret_cast<void*>(1);
        EXPECT_EQ(cudaMalloc(&p, bytes), cudaErrorMemoryAllocation) << bytes;
        EXPECT_EQ(p, nullptr);
        EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
    }
    // Still alive and able to allocate.
    void* p = nullptr;
    EXPECT_EQ(cudaMalloc(&p, 1 << 20), cudaSuccess);
    EXPECT_EQ(cudaFree(p), cudaSuccess);
}

}  // namespace
