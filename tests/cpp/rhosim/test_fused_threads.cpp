// rhosim's fused kernel run the GPU's way, every block with all its threads meeting at the barriers,
// against the same launches with each block as one thread (host build): every record kind, controls
// in both states, unitary-then-channel pairs, records the tile cannot hold, tiles of 4 to 1024
// entries, scattered active qubits, both precisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "rhosim/density_fusion.h"
#include "rhosim/rhosim_launchers.h"
#include "tests/cpp/test_support.h"

namespace {

using namespace velloran::rhosim;
using velloran::host::BarrierThreads;
using velloran::testing::BarrierThreadsScope;
using velloran::testing::download;
using velloran::testing::upload;

// Random records for m active qubits. Every fourth is an uncontrolled unitary followed by a channel
// on its target (the pair the kernel applies in one pass); every ninth names a target outside the
// tile, or an unknown channel kind, which leave the tile as it is.
template <typename T>
std::vector<DeviceDensityGate<T>> random_records(int32_t m, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.7, 0.7);
    const auto pick = [&](int32_t bound) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(bound)); };
    const auto random_record = [&](int32_t kind, int32_t target) {
        DeviceDensityGate<T> g{};
        g.kind = kind;
        g.target = target;
        for (auto& entry : g.matrix) entry = CuComplex<T>{static_cast<T>(u(rng)), static_cast<T>(u(rng))};
        const double a = 3 * u(rng), b = 3 * u(rng);
        g.diag[0] = CuComplex<T>{static_cast<T>(std::cos(a)), static_cast<T>(std::sin(a))};
        g.diag[1] = CuComplex<T>{static_cast<T>(std::cos(b)), static_cast<T>(std::sin(b))};
        g.flip = target < m ? 1 << target : 0;
        g.channel_kind = 1 + pick(5);
        g.parameter = static_cast<T>(0.5 + u(rng) / 2);
        return g;
    };
    std::vector<DeviceDensityGate<T>> records;
    for (int i = 0; static_cast<int>(records.size()) < count; ++i) {
        if (i % 4 == 3) {
            const int32_t target = pick(m);
            records.push_back(random_record(kGateUnitary, target));
            records.push_back(random_record(kGateChannel, target));
            continue;
        }
        DeviceDensityGate<T> g = random_record(pick(4), i % 9 == 8 ? m : pick(m));
        if (i % 9 == 4) g.channel_kind = 0;
        if (g.kind != kGateChannel) {
            for (int32_t q = 0; q < m; ++q) {
                if (q == g.target || pick(3) != 0) continue;
                g.control_mask |= 1 << q;
                g.control_value |= pick(2) << q;
            }
        }
        records.push_back(g);
    }
    return records;
}

template <typename T>
std::vector<CuComplex<T>> run_group(BarrierThreads mode, uint64_t dim, uint64_t active_mask,
                                    const std::vector<CuComplex<T>>& start,
                                    const std::vector<DeviceDensityGate<T>>& records) {
    const BarrierThreadsScope scope(mode);
    auto rho = upload(start);
    auto device_records = upload(records);
    launch_fused<T>(dim, rho.get(), active_mask, __builtin_popcountll(active_mask), device_records.get(),
                    static_cast<int64_t>(records.size()));
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return download(rho);
}

template <typename T>
class FusedKernelThreads : public velloran::testing::RuntimeTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FusedKernelThreads, Precisions);

TYPED_TEST(FusedKernelThreads, WholeBlocksMatchSingleThreadBlocks) {
    using T = TypeParam;
    struct TileCase {
        uint64_t n;
        uint64_t active_mask;
    };
    // Tiles of 4 to 1024 entries for blocks of 128 threads; one to 64 tiles.
    for (const TileCase c : {TileCase{1, 0b1}, TileCase{3, 0b101}, TileCase{5, 0b11111}, TileCase{6, 0b110101},
                             TileCase{6, 0b100110}}) {
        SCOPED_TRACE(::testing::Message() << "n " << c.n << " active mask " << c.active_mask);
        const uint64_t dim = uint64_t{1} << c.n;
        const int32_t m = __builtin_popcountll(c.active_mask);
        std::mt19937 rng(static_cast<uint32_t>(c.active_mask));
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::vector<CuComplex<T>> start(dim * dim);
        for (auto& a : start) a = CuComplex<T>{static_cast<T>(u(rng)), static_cast<T>(u(rng))};
        const auto records = random_records<T>(m, 24, static_cast<uint32_t>(c.n * 31 + c.active_mask));

        const auto one = run_group<T>(BarrierThreads::One, dim, c.active_mask, start, records);
        const auto block = run_group<T>(BarrierThreads::Block, dim, c.active_mask, start, records);
        double scale = 1;
        for (const auto& a : one) scale = std::max({scale, std::abs(double(a.re)), std::abs(double(a.im))});
        const double tolerance = (sizeof(T) == 4 ? 1e-5 : 1e-13) * scale;
        for (size_t i = 0; i < one.size(); ++i) {
            ASSERT_NEAR(block[i].re, one[i].re, tolerance) << "entry " << i;
            ASSERT_NEAR(block[i].im, one[i].im, tolerance) << "entry " << i;
        }
        EXPECT_NE(std::memcmp(one.data(), start.data(), one.size() * sizeof(one[0])), 0) << "the records did nothing";
    }
}

}  // namespace
