// What only the host build's stand-in for the runtime does: how it runs a grid on the CPU cores,
// how it reports a barrier outside a barrier kernel, its single device, and allocations that the
// machine cannot hold.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "common/launch.h"
#include "test_support.h"

namespace {

using velloran::DeviceBuffer;
using velloran::launch_kernel;
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

class HostDevice : public RuntimeTest {};

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
