// Helpers of the C++ tests of the execution layer: device buffers filled from host vectors and
// read back into them, and the reset of the runtime's error state between checks.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "common/device_buffer.h"

namespace velloran::testing {

template <typename T>
DeviceBuffer<T> upload(const std::vector<T>& host) {
    DeviceBuffer<T> device(host.size());
    check_cuda(cudaMemcpy(device.get(), host.data(), host.size() * sizeof(T), cudaMemcpyHostToDevice));
    return device;
}

template <typename T>
std::vector<T> download(const DeviceBuffer<T>& device) {
    std::vector<T> host(device.size());
    check_cuda(cudaMemcpy(host.data(), device.get(), host.size() * sizeof(T), cudaMemcpyDeviceToHost));
    return host;
}

// Every test starts and ends with a clean error state, so one check cannot leak into the next.
class RuntimeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
        ASSERT_EQ(cudaGetLastError(), cudaSuccess) << "an earlier test left an error pending";
    }
    void TearDown() override { EXPECT_EQ(cudaGetLastError(), cudaSuccess) << "the test left an error pending"; }
};

#if !defined(VELLORAN_BACKEND_CUDA)
// Host build: runs the barrier launches of its lifetime with each block as one thread or with all
// its threads, whatever the process was started with, and restores that mode afterwards.
class BarrierThreadsScope {
public:
    explicit BarrierThreadsScope(host::BarrierThreads mode) : previous_(host::set_barrier_threads(mode)) {}
    ~BarrierThreadsScope() { host::set_barrier_threads(previous_); }
    BarrierThreadsScope(const BarrierThreadsScope&) = delete;
    BarrierThreadsScope& operator=(const BarrierThreadsScope&) = delete;

private:
    host::BarrierThreads previous_;
};
#endif

}  // namespace velloran::testing
