// The block walk over an index subset, in both ways a block can run: as one thread (the runs the
// host build walks barrier kernels in) and as many threads (the flattened walk of the GPU).
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/block_loops.h"
#include "common/launch.h"
#include "test_support.h"

namespace {

using velloran::testing::download;
using velloran::testing::RuntimeTest;
using velloran::testing::upload;

// Each block counts the visits of its own 2^bits slots.
__global__ void count_subset_visits(uint32_t* visits, int32_t bits, uint64_t fixed, uint64_t value) {
    uint32_t* slots = visits + (uint64_t{blockIdx.x} << bits);
    velloran::block_for_subset(bits, fixed, value, [&](uint64_t i) { slots[i] += 1; });
}

struct SubsetCase {
    int32_t bits;
    uint64_t fixed;
    uint64_t value;
};

// Lowest bits fixed or free, single free bits between fixed ones, everything fixed, nothing fixed,
// and random masks up to the largest tile.
std::vector<SubsetCase> subset_cases() {
    std::vector<SubsetCase> cases = {{1, 0, 0},
                                     {1, 1, 1},
                                     {3, 0b010, 0b010},
                                     {4, 0b0101, 0b0001},
                                     {5, 0b11111, 0b10110},
                                     {6, 0b000001, 0},
                                     {6, 0b000011, 0b10},
                                     {10, 0b1000000000, 0},
                                     {10, 0b0101010101, 0b0100000001},
                                     {10, 0, 0},
                                     {10, 0b0000001110, 0b1000}};
    std::mt19937_64 rng(5);
    for (int j = 0; j < 40; ++j) {
        const int32_t bits = 1 + static_cast<int32_t>(rng() % 12);
        const uint64_t fixed = rng() & ((uint64_t{1} << bits) - 1) & rng();
        cases.push_back({bits, fixed, rng() & fixed});
    }
    return cases;
}

class BlockLoops : public RuntimeTest, public ::testing::WithParamInterface<bool> {};

// Every index of the subset is visited exactly once and no other, in every block.
TEST_P(BlockLoops, VisitEverySubsetIndexOnce) {
    const bool barrier = GetParam();
    const unsigned blocks = 3;
    for (const SubsetCase& c : subset_cases()) {
        SCOPED_TRACE(::testing::Message() << "bits " << c.bits << " fixed " << c.fixed << " value " << c.value);
        const uint64_t length = uint64_t{1} << c.bits;
        auto visits = upload(std::vector<uint32_t>(blocks * length, 0));
        if (barrier) {
            velloran::launch_barrier_kernel<&count_subset_visits>(dim3(blocks), dim3(128), 0, nullptr, visits.get(),
                                                                  c.bits, c.fixed, c.value);
        } else {
            velloran::launch_kernel<&count_subset_visits>(dim3(blocks), dim3(128), 0, nullptr, visits.get(), c.bits,
                                                          c.fixed, c.value);
        }
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const std::vector<uint32_t> counts = download(visits);
        for (uint64_t i = 0; i < counts.size(); ++i) {
            const uint32_t expected = ((i % length) & c.fixed) == c.value ? 1 : 0;
            ASSERT_EQ(counts[i], expected) << "slot " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothWalks, BlockLoops, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "BarrierLaunch" : "ThreadedLaunch"; });

}  // namespace
