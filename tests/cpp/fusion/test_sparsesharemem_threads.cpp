// The SparseShareMem kernel run the GPU's way, every block with all its threads meeting at the
// barriers, against the same launches with each block as one thread (host build): every record kind,
// controls in both states, records the tile cannot hold, tiles smaller and larger than the block,
// scattered active qubits, both precisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "common/cu_complex.h"
#include "ketsim/fusion/sparsesharemem.h"
#include "tests/cpp/test_support.h"

namespace {

using ketsim::fusion::DeviceMatrixGate;
using velloran::host::BarrierThreads;
using velloran::testing::BarrierThreadsScope;
using velloran::testing::download;
using velloran::testing::upload;

template <typename T>
using Record = DeviceMatrixGate<CuComplex<T>>;

// Random records for a tile of k local qubits. Every tenth names a target outside the tile, which
// every thread must skip alike; SWAPs on a one-qubit tile cannot fit either.
template <typename T>
std::vector<Record<T>> random_records(int32_t k, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(-0.7, 0.7);
    const auto pick = [&](int32_t bound) { return static_cast<int32_t>(rng() % static_cast<uint32_t>(bound)); };
    std::vector<Record<T>> records;
    for (int i = 0; i < count; ++i) {
        Record<T> r;
        r.op = pick(8);
        r.target = i % 10 == 9 ? k : pick(k);
        r.target2 = k > 1 ? (r.target + 1 + pick(k - 1)) % k : r.target;
        const int32_t used = (1 << r.target) | (r.op == ketsim::fusion::kOpSwap ? 1 << r.target2 : 0);
        for (int32_t q = 0; q < k; ++q) {
            if ((used >> q) & 1 || pick(4) != 0) continue;
            r.control_mask |= 1 << q;
            r.control_value |= pick(2) << q;
        }
        for (auto& entry : r.matrix) entry = CuComplex<T>{static_cast<T>(u(rng)), static_cast<T>(u(rng))};
        if (i % 5 == 0) r.matrix[0] = CuComplex<T>{T(1), T(0)};  // the diagonal kernel's phase-only path
        records.push_back(r);
    }
    return records;
}

struct TileCase {
    int64_t n;
    uint64_t active_mask;
};

template <typename T>
std::vector<CuComplex<T>> run_group(BarrierThreads mode, const TileCase& c, const std::vector<CuComplex<T>>& start,
                                    const std::vector<Record<T>>& records) {
    const BarrierThreadsScope scope(mode);
    auto state = upload(start);
    auto device_records = upload(records);
    ketsim::fusion::launch_sparsesharemem<T>(c.n, state.get(), c.active_mask, __builtin_popcountll(c.active_mask),
                                             device_records.get(), static_cast<int32_t>(records.size()), nullptr);
    EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
    return download(state);
}

template <typename T>
class SparseShareMemThreads : public velloran::testing::RuntimeTest {};
using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(SparseShareMemThreads, Precisions);

TYPED_TEST(SparseShareMemThreads, WholeBlocksMatchSingleThreadBlocks) {
    using T = TypeParam;
    // Tiles of 2 to 1024 amplitudes for blocks of 128 threads: mostly idle threads, one amplitude per
    // thread, eight per thread; one to 128 tiles.
    const std::vector<TileCase> cases = {{3, 0b100},          {5, 0b10110},         {7, 0b1111111},
                                         {9, 0b110101101},    {11, 0b11111011111},  {12, 0b100100100101}};
    for (const TileCase& c : cases) {
        const int32_t k = __builtin_popcountll(c.active_mask);
        SCOPED_TRACE(::testing::Message() << "n " << c.n << " active mask " << c.active_mask);
        std::mt19937 rng(static_cast<uint32_t>(c.n));
        std::uniform_real_distribution<double> u(-1.0, 1.0);
        std::vector<CuComplex<T>> start(uint64_t{1} << c.n);
        for (auto& a : start) a = CuComplex<T>{static_cast<T>(u(rng)), static_cast<T>(u(rng))};
        const auto records = random_records<T>(k, 24, static_cast<uint32_t>(c.active_mask));

        const auto one = run_group<T>(BarrierThreads::One, c, start, records);
        const auto block = run_group<T>(BarrierThreads::Block, c, start, records);
        double scale = 1;
        for (const auto& a : one) scale = std::max({scale, std::abs(double(a.re)), std::abs(double(a.im))});
        const double tolerance = (sizeof(T) == 4 ? 1e-5 : 1e-13) * scale;
        for (size_t i = 0; i < one.size(); ++i) {
            ASSERT_NEAR(block[i].re, one[i].re, tolerance) << "amplitude " << i;
            ASSERT_NEAR(block[i].im, one[i].im, tolerance) << "amplitude " << i;
        }
        EXPECT_NE(std::memcmp(one.data(), start.data(), one.size() * sizeof(one[0])), 0) << "the records did nothing";
    }
}

}  // namespace
