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

// Lowest bits fixed or free (one to five of them), single free bits between fixed ones, everything
// fixed, nothing fixed, and random masks up to the largest tile.
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
                                     {10, 0b0000001110, 0b1000},
                                     // the walks' constant spacings 8 and 16 and a wider one
                                     {8, 0b00000111, 0b101},
                                     {9, 0b100001111, 0b100000110},
                                     {9, 0b000011111, 0b1},
                                     // short unit-stride runs (4, 8, 16) under a stretch that ends at a
                                     // fixed bit, below two fixed bits, and at the top
                                     {12, 0b100000100, 0b100000000},
                                     {11, 0b00011000, 0b00010000},
                                     {12, 0b10010000, 0b10000000},
                                     {10, 0b1000000100, 0}};
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

// Each block marks the two members of every pair it visits: 1 on the low one, 16 on the high one.
__global__ void count_pair_visits(uint32_t* visits, int32_t bits, uint64_t bit, uint64_t fixed, uint64_t value) {
    uint32_t* slots = visits + (uint64_t{blockIdx.x} << bits);
    velloran::block_for_pairs(bits, bit, fixed, value, [&](uint64_t i0, uint64_t i1) {
        slots[i0] += 1;
        slots[i1] += 16;
    });
}

// Every pair of the subset is visited once, for partners inside and outside the 8 lowest indices
// (with and without fixed bits below the partner, where the host walks whole blocks).
TEST_P(BlockLoops, VisitEveryPairOnce) {
    const bool barrier = GetParam();
    const unsigned blocks = 2;
    for (const SubsetCase& c : subset_cases()) {
        for (int32_t t = 0; t < c.bits && t < 5; ++t) {
            const uint64_t bit = uint64_t{1} << t;
            const uint64_t fixed = c.fixed & ~bit;
            const uint64_t value = c.value & ~bit;
            SCOPED_TRACE(::testing::Message() << "bits " << c.bits << " bit " << bit << " fixed " << fixed);
            const uint64_t length = uint64_t{1} << c.bits;
            auto visits = upload(std::vector<uint32_t>(blocks * length, 0));
            if (barrier) {
                velloran::launch_barrier_kernel<&count_pair_visits>(dim3(blocks), dim3(128), 0, nullptr,
                                                                    visits.get(), c.bits, bit, fixed, value);
            } else {
                velloran::launch_kernel<&count_pair_visits>(dim3(blocks), dim3(128), 0, nullptr, visits.get(), c.bits,
                                                            bit, fixed, value);
            }
            ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
            const std::vector<uint32_t> counts = download(visits);
            for (uint64_t i = 0; i < counts.size(); ++i) {
                const uint64_t local = i % length;
                const uint32_t expected = (local & fixed) != value ? 0 : (local & bit) ? 16 : 1;
                ASSERT_EQ(counts[i], expected) << "slot " << i;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothWalks, BlockLoops, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "BarrierLaunch" : "ThreadedLaunch"; });

// One compact index per thread, expanded into the subset: each visit counts once at its index.
__global__ void count_thread_visits(uint32_t* visits, uint64_t count, uint64_t fixed, uint64_t value) {
    velloran::for_thread_index(count, fixed, value, [=](uint64_t i) { visits[i] += 1; });
}

class ThreadIndex : public RuntimeTest, public ::testing::WithParamInterface<bool> {};

// The first `count` indices of the subset (in increasing order) are visited once each and nothing
// else is, whether the host calls each block once or every thread, with grids whose last block is
// partly or wholly past the count.
TEST_P(ThreadIndex, VisitTheFirstCountSubsetIndicesOnce) {
    const bool indexed = GetParam();
    for (const SubsetCase& c : subset_cases()) {
        const uint64_t subset = (uint64_t{1} << c.bits) >> velloran::bit_count(c.fixed);
        for (const uint64_t count : {subset, subset - subset / 3, uint64_t{1}}) {
            for (const unsigned block : {1u, 32u, 128u}) {
                SCOPED_TRACE(::testing::Message() << "bits " << c.bits << " fixed " << c.fixed << " value " << c.value
                                                  << " count " << count << " block " << block);
                auto visits = upload(std::vector<uint32_t>(uint64_t{1} << c.bits, 0));
                const dim3 grid(velloran::grid_for(count, block) + 1);
                if (indexed) {
                    velloran::launch_indexed_kernel<&count_thread_visits>(grid, dim3(block), 0, nullptr, visits.get(),
                                                                          count, c.fixed, c.value);
                } else {
                    velloran::launch_kernel<&count_thread_visits>(grid, dim3(block), 0, nullptr, visits.get(), count,
                                                                  c.fixed, c.value);
                }
                ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
                const std::vector<uint32_t> counts = download(visits);
                uint64_t rank = 0;
                for (uint64_t i = 0; i < counts.size(); ++i) {
                    const bool member = (i & c.fixed) == c.value;
                    const uint32_t expected = member && rank < count ? 1 : 0;
                    rank += member;
                    ASSERT_EQ(counts[i], expected) << "index " << i;
                }
            }
        }
    }
}

__global__ void count_matching_visits(uint32_t* visits, uint64_t count, uint64_t mask, uint64_t value) {
    velloran::for_matching_thread_index(count, mask, value, [=](uint64_t i) { visits[i] += 1; });
}

// Every index below `count` whose masked bits match is visited once and no other, for counts that
// end inside a block and blocks of sizes that are and are not powers of two.
TEST_P(ThreadIndex, VisitTheMatchingIndicesBelowCountOnce) {
    const bool indexed = GetParam();
    for (const SubsetCase& c : subset_cases()) {
        const uint64_t length = uint64_t{1} << c.bits;
        for (const uint64_t count : {length, length - length / 3, uint64_t{1}}) {
            for (const unsigned block : {1u, 32u, 96u, 256u}) {
                SCOPED_TRACE(::testing::Message() << "bits " << c.bits << " mask " << c.fixed << " value " << c.value
                                                  << " count " << count << " block " << block);
                auto visits = upload(std::vector<uint32_t>(length, 0));
                const dim3 grid(velloran::grid_for(count, block) + 1);
                if (indexed) {
                    velloran::launch_indexed_kernel<&count_matching_visits>(grid, dim3(block), 0, nullptr,
                                                                            visits.get(), count, c.fixed, c.value);
                } else {
                    velloran::launch_kernel<&count_matching_visits>(grid, dim3(block), 0, nullptr, visits.get(), count,
                                                                    c.fixed, c.value);
                }
                ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
                const std::vector<uint32_t> counts = download(visits);
                for (uint64_t i = 0; i < length; ++i) {
                    ASSERT_EQ(counts[i], i < count && (i & c.fixed) == c.value ? 1u : 0u) << "index " << i;
                }
            }
        }
    }
}

__global__ void count_grid_stride_visits(uint32_t* visits, uint64_t count, uint64_t fixed, uint64_t value) {
    velloran::for_grid_stride_index(count, fixed, value, [=](uint64_t i) { visits[i] += 1; });
}

__global__ void count_grid_stride_visits_where(uint32_t* visits, uint64_t count, uint64_t fixed, uint64_t value,
                                               uint64_t mask, uint64_t wanted) {
    velloran::for_grid_stride_index_where(count, fixed, value, mask, wanted, [=](uint64_t i) { visits[i] += 1; });
}

__global__ void count_matching_grid_stride_visits(uint32_t* visits, uint64_t count, uint64_t mask, uint64_t value) {
    velloran::for_matching_grid_stride_index(count, mask, value, [=](uint64_t i) { visits[i] += 1; });
}

// Grids far smaller than the range (each block then takes a slice of every stride), one block
// short, exact, and with a block past the end.
std::vector<unsigned> grid_stride_grids(uint64_t count, unsigned block) {
    const unsigned exact = velloran::grid_for(count, block);
    return {1u, 2u, 3u, exact > 1 ? exact - 1 : 1u, exact, exact + 1};
}

// The grid-stride walks visit what one index per thread would, with any grid: the first `count`
// subset indices (all of them, or those that pass a further test), or the matching indices below
// `count`, once each.
TEST_P(ThreadIndex, GridStrideWalksVisitEveryIndexOnceWithAnyGrid) {
    const bool indexed = GetParam();
    for (const SubsetCase& c : subset_cases()) {
        const uint64_t length = uint64_t{1} << c.bits;
        const uint64_t subset = length >> velloran::bit_count(c.fixed);
        for (const uint64_t count : {subset, subset - subset / 3, uint64_t{1}}) {
            for (const unsigned block : {1u, 32u, 96u, 256u}) {
                for (const unsigned blocks : grid_stride_grids(count, block)) {
                    SCOPED_TRACE(::testing::Message() << "bits " << c.bits << " fixed " << c.fixed << " value "
                                                      << c.value << " count " << count << " block " << block
                                                      << " grid " << blocks);
                    auto compact = upload(std::vector<uint32_t>(length, 0));
                    auto tested = upload(std::vector<uint32_t>(length, 0));
                    auto matching = upload(std::vector<uint32_t>(length, 0));
                    const uint64_t matching_count = length - length / 5 * (count != subset);
                    // A test on free bits of the subset, as a control test on the bases of a walk:
                    // bits inside a block and above it.
                    const uint64_t test_mask = (length - 1) & ~c.fixed & 0b1001'0001'0110;
                    const uint64_t test_value = test_mask & 0b1000'0000'0110;
                    if (indexed) {
                        velloran::launch_indexed_kernel<&count_grid_stride_visits>(
                            dim3(blocks), dim3(block), 0, nullptr, compact.get(), count, c.fixed, c.value);
                        velloran::launch_indexed_kernel<&count_grid_stride_visits_where>(
                            dim3(blocks), dim3(block), 0, nullptr, tested.get(), count, c.fixed, c.value, test_mask,
                            test_value);
                        velloran::launch_indexed_kernel<&count_matching_grid_stride_visits>(
                            dim3(blocks), dim3(block), 0, nullptr, matching.get(), matching_count, c.fixed, c.value);
                    } else {
                        velloran::launch_kernel<&count_grid_stride_visits>(dim3(blocks), dim3(block), 0, nullptr,
                                                                           compact.get(), count, c.fixed, c.value);
                        velloran::launch_kernel<&count_grid_stride_visits_where>(dim3(blocks), dim3(block), 0,
                                                                                 nullptr, tested.get(), count, c.fixed,
                                                                                 c.value, test_mask, test_value);
                        velloran::launch_kernel<&count_matching_grid_stride_visits>(
                            dim3(blocks), dim3(block), 0, nullptr, matching.get(), matching_count, c.fixed, c.value);
                    }
                    ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
                    const std::vector<uint32_t> compact_counts = download(compact);
                    const std::vector<uint32_t> tested_counts = download(tested);
                    const std::vector<uint32_t> matching_counts = download(matching);
                    uint64_t rank = 0;
                    for (uint64_t i = 0; i < length; ++i) {
                        const bool member = (i & c.fixed) == c.value;
                        const bool walked = member && rank < count;
                        ASSERT_EQ(compact_counts[i], walked ? 1u : 0u) << "compact index " << i;
                        ASSERT_EQ(tested_counts[i], walked && (i & test_mask) == test_value ? 1u : 0u)
                            << "tested index " << i;
                        ASSERT_EQ(matching_counts[i], member && i < matching_count ? 1u : 0u) << "index " << i;
                        rank += member;
                    }
                }
            }
        }
    }
}

// remove_bits takes out exactly the bits insert_zero_bits put in, whatever they were set to.
TEST(IndexBits, RemoveBitsUndoesInsertZeroBits) {
    std::mt19937_64 rng(3);
    for (int j = 0; j < 2000; ++j) {
        const uint64_t mask = rng() & rng() & (j % 2 ? rng() : ~uint64_t{0});
        const int kept = 64 - velloran::bit_count(mask);
        const uint64_t x = kept == 0 ? 0 : rng() >> (64 - kept);
        ASSERT_EQ(velloran::remove_bits(velloran::insert_zero_bits(x, mask, 0), mask), x) << "mask " << mask;
        ASSERT_EQ(velloran::remove_bits(velloran::insert_zero_bits(x, mask, mask & rng()), mask), x) << "mask " << mask;
    }
}

// count_matching_below counts what a scan of every index below the bound finds, for bounds that
// are and are not powers of two and masks inside and above them.
TEST(IndexBits, CountMatchingBelowAgreesWithAScan) {
    std::mt19937_64 rng(4);
    for (int j = 0; j < 300; ++j) {
        const uint64_t bound = rng() % 2048;
        const uint64_t mask = rng() & rng() & 0xfff;
        const uint64_t value = mask & rng();
        uint64_t expected = 0;
        for (uint64_t q = 0; q < bound; ++q) expected += (q & mask) == value;
        ASSERT_EQ(velloran::count_matching_below(bound, mask, value), expected)
            << "bound " << bound << " mask " << mask << " value " << value;
    }
}

INSTANTIATE_TEST_SUITE_P(BothLaunches, ThreadIndex, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "IndexedLaunch" : "ThreadedLaunch"; });

// Each block records the offset it was given for every local index of its tile.
__global__ void record_deposits(uint64_t* offsets, int32_t k, uint64_t mask) {
    uint64_t* mine = offsets + (uint64_t{blockIdx.x} << k);
    velloran::block_for_deposited(k, mask, [&](uint64_t i, uint64_t offset) { mine[i] = offset + 1; });
}

// Every local index gets exactly deposit_bits(i, mask): masks with the lowest bit set or clear,
// one stretch or several, and the empty tile.
TEST_P(BlockLoops, DepositedOffsetsOfEveryLocalIndex) {
    const bool barrier = GetParam();
    const unsigned blocks = 2;
    std::vector<uint64_t> masks = {0, 1, 0b110, 0b1011, 0b1111000, 0b101010101, 0b1111111111};
    std::mt19937_64 rng(9);
    for (int j = 0; j < 20; ++j) masks.push_back(rng() & rng() & ((uint64_t{1} << 20) - 1));
    for (const uint64_t mask : masks) {
        const int32_t k = velloran::bit_count(mask);
        if (k > 12) continue;
        SCOPED_TRACE(::testing::Message() << "mask " << mask);
        const uint64_t length = uint64_t{1} << k;
        auto offsets = upload(std::vector<uint64_t>(blocks * length, 0));
        if (barrier) {
            velloran::launch_barrier_kernel<&record_deposits>(dim3(blocks), dim3(64), 0, nullptr, offsets.get(), k,
                                                              mask);
        } else {
            velloran::launch_kernel<&record_deposits>(dim3(blocks), dim3(64), 0, nullptr, offsets.get(), k, mask);
        }
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const std::vector<uint64_t> got = download(offsets);
        for (uint64_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(got[i], velloran::deposit_bits(i % length, mask) + 1) << "slot " << i;
        }
    }
}

}  // namespace
