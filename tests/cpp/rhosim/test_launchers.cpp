// rhosim's launchers below the Python layer: the fused kernel against the per-operation kernels for
// every kind of record, in both precisions, and the guards that no operation list can reach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "rhosim/density_fusion.h"
#include "rhosim/rhosim_device_state.h"
#include "rhosim/rhosim_launchers.h"
#include "rhosim/rhosim_measure.h"
#include "tests/cpp/test_support.h"

namespace {

using namespace velloran::rhosim;
using velloran::DeviceBuffer;
using velloran::testing::download;
using velloran::testing::upload;

constexpr uint64_t kQubits = 4;
constexpr uint64_t kDim = uint64_t{1} << kQubits;
// The fused group acts on qubits 0, 2 and 3: local positions 0, 1 and 2.
const std::vector<int64_t> kActive = {0, 2, 3};
constexpr uint64_t kActiveMask = 0b1101;

template <typename T>
std::vector<CuComplex<T>> random_entries(uint64_t count, uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<CuComplex<T>> out(count);
    for (auto& z : out) z = CuComplex<T>{static_cast<T>(u(rng)), static_cast<T>(u(rng))};
    return out;
}

uint64_t global_mask(uint64_t local) {
    uint64_t mask = 0;
    for (size_t j = 0; j < kActive.size(); ++j) {
        if ((local >> j) & 1u) mask |= uint64_t{1} << kActive[j];
    }
    return mask;
}

template <typename T>
DeviceDensityGate<T> record(int32_t kind, int32_t target, int32_t control_mask, int32_t control_value) {
    DeviceDensityGate<T> g{};
    g.kind = kind;
    g.target = target;
    g.control_mask = control_mask;
    g.control_value = control_value;
    const auto m = random_entries<T>(4, 100 + target);
    for (int j = 0; j < 4; ++j) g.matrix[j] = m[j];
    // Diagonal gates are unitary: the uncontrolled kernel leaves the populations alone.
    g.diag[0] = CuComplex<T>{static_cast<T>(std::cos(0.4 + target)), static_cast<T>(std::sin(0.4 + target))};
    g.diag[1] = CuComplex<T>{static_cast<T>(std::cos(1.1 - target)), static_cast<T>(std::sin(1.1 - target))};
    g.flip = target >= 0 ? int32_t{1} << target : 0;  // a record may name target -1 on purpose
    g.channel_kind = 3;
    g.parameter = static_cast<T>(0.3);
    return g;
}

// The same operation through the kernel a single operation runs in.
template <typename T>
void apply_alone(CuComplex<T>* rho, const DeviceDensityGate<T>& g, DeviceBuffer<CuComplex<T>>& matrix) {
    const uint64_t target = uint64_t{1} << kActive[g.target];
    const uint64_t cm = global_mask(static_cast<uint32_t>(g.control_mask));
    const uint64_t cv = global_mask(static_cast<uint32_t>(g.control_value));
    switch (g.kind) {
        case kGateUnitary:
            apply_unitary<T>(rho, kDim, cm, cv, matrix.get(), make_device_targets({kActive[g.target]}, kQubits));
            break;
        case kGateDiagonal: apply_diagonal<T>(rho, kDim, target, cm, cv, g.diag[0], g.diag[1]); break;
        case kGateFlip: apply_permutation<T>(rho, kDim, target, cm, cv, false); break;
        default: apply_channel<T>(rho, kDim, target, g.channel_kind, g.parameter); break;
    }
}

template <typename T>
class FusedKernel : public velloran::testing::RuntimeTest {
protected:
    static constexpr double kTolerance = sizeof(T) == 4 ? 1e-5 : 1e-12;

    // Runs `records` as one fused group and one by one, and compares the matrices.
    void expect_same_as_alone(const std::vector<DeviceDensityGate<T>>& records) {
        const auto start = random_entries<T>(kDim * kDim, 7);
        auto fused = upload(start);
        auto alone = upload(start);
        auto device_records = upload(records);
        launch_fused<T>(kDim, fused.get(), kActiveMask, 3, device_records.get(), static_cast<int64_t>(records.size()));
        for (const auto& g : records) {
            auto matrix = upload(std::vector<CuComplex<T>>(g.matrix, g.matrix + 4));
            apply_alone<T>(alone.get(), g, matrix);
            ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        }
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const auto a = download(fused), b = download(alone);
        for (uint64_t i = 0; i < a.size(); ++i) {
            ASSERT_NEAR(a[i].re, b[i].re, kTolerance) << "entry " << i;
            ASSERT_NEAR(a[i].im, b[i].im, kTolerance) << "entry " << i;
        }
    }
};

using Precisions = ::testing::Types<float, double>;
TYPED_TEST_SUITE(FusedKernel, Precisions);

// Every kind on every local target, uncontrolled and with controls in state 0 and 1 on the others.
TYPED_TEST(FusedKernel, GateRecordsMatchTheirSingleOperationKernels) {
    for (const int32_t kind : {kGateUnitary, kGateDiagonal, kGateFlip}) {
        for (int32_t target = 0; target < 3; ++target) {
            const int32_t others = 0b111 & ~(1 << target);
            const int32_t low = others & -others;
            for (const auto [mask, value] : {std::pair{0, 0}, std::pair{low, 0}, std::pair{low, low},
                                             std::pair{others, others & ~low}}) {
                SCOPED_TRACE(::testing::Message() << "kind " << kind << " target " << target << " controls " << mask
                                                  << " value " << value);
                this->expect_same_as_alone({record<TypeParam>(kind, target, mask, value)});
            }
        }
    }
}

TYPED_TEST(FusedKernel, ChannelRecordsAndUnitaryChannelPairsMatch) {
    for (int32_t kind = 1; kind <= 5; ++kind) {
        for (int32_t target = 0; target < 3; ++target) {
            SCOPED_TRACE(::testing::Message() << "channel " << kind << " target " << target);
            auto channel = record<TypeParam>(kGateChannel, target, 0, 0);
            channel.channel_kind = kind;
            this->expect_same_as_alone({channel});
            // An uncontrolled unitary followed by a channel on its qubit runs as one pass.
            this->expect_same_as_alone({record<TypeParam>(kGateUnitary, target, 0, 0), channel});
        }
    }
}

// Records that name a qubit outside the tile, or control values outside their controls, are left
// out instead of indexing outside the tile.
TYPED_TEST(FusedKernel, RecordsOutsideTheTileLeaveTheMatrixUnchanged) {
    using T = TypeParam;
    const auto start = random_entries<T>(kDim * kDim, 9);
    std::vector<DeviceDensityGate<T>> bad = {record<T>(kGateUnitary, 3, 0, 0), record<T>(kGateFlip, -1, 0, 0),
                                             record<T>(kGateDiagonal, 0, 0b010, 0b100),
                                             record<T>(kGateUnitary, 0, 0b1000, 0b1000),
                                             record<T>(kGateFlip, 1, 0b010, 0b010)};
    for (const auto& g : bad) {
        auto rho = upload(start);
        auto device_record = upload(std::vector<DeviceDensityGate<T>>{g});
        launch_fused<T>(kDim, rho.get(), kActiveMask, 3, device_record.get(), 1);
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        const auto after = download(rho);
        for (uint64_t i = 0; i < after.size(); ++i) {
            ASSERT_EQ(after[i].re, start[i].re);
            ASSERT_EQ(after[i].im, start[i].im);
        }
    }
}

template <typename F>
void expect_invalid(F&& f, const std::string& message) {
    try {
        f();
        FAIL() << "expected: " << message;
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), message);
    }
}

TEST(FusedLauncher, RefusesGroupsItCannotTile) {
    DeviceBuffer<CuComplex<double>> rho(kDim * kDim);
    auto records = upload(std::vector<DeviceDensityGate<double>>{record<double>(kGateUnitary, 0, 0, 0)});
    const auto launch = [&](uint64_t mask, int64_t m, int64_t count) {
        return [&rho, &records, mask, m, count] {
            launch_fused<double>(kDim, rho.get(), mask, m, records.get(), count);
        };
    };
    expect_invalid(launch(0, 0, 1), "density fusion active qubits must be in [1,5]");
    expect_invalid(launch(0b111111, 6, 1), "density fusion active qubits must be in [1,5]");
    expect_invalid(launch(kActiveMask, 3, 0), "fusion group cannot be empty");
    expect_invalid(launch(0b11111, 5, 1), "active qubits exceed circuit size");
    expect_invalid(launch(0b0011, 3, 1), "density fusion active mask does not match its qubit count");
    expect_invalid(launch(0b10011, 3, 1), "density fusion active mask does not match its qubit count");
}

TEST(DensityTargets, RefusesListsNoKernelCanTake) {
    const std::string message = "invalid target list for a density kernel";
    expect_invalid([] { make_device_targets({0, 1, 2, 3, 4, 5, 6}, 8); }, message);
    expect_invalid([] { make_device_targets({1, 1}, 4); }, message);
    expect_invalid([] { make_device_targets({4}, 4); }, message);
    expect_invalid([] { make_device_targets({-1}, 4); }, message);
    expect_invalid([] { make_device_targets({0}, 16); }, message);
    const DeviceTargets t = make_device_targets({2, 0}, 4);
    EXPECT_EQ(t.count, 2);
    EXPECT_EQ(t.other_count, 2);
    EXPECT_EQ(t.others[0], 1);
    EXPECT_EQ(t.others[1], 3);
}

TEST(DensityMeasure, RefusesRegisterSizesOutsideTheModule) {
    DeviceBuffer<CuComplex<double>> rho(4);
    for (const uint64_t n : {uint64_t{0}, uint64_t{16}}) {
        expect_invalid([&] { measure_density<double>(n, rho.get(), {0}, "little", 0, 1); },
                       "num_qubits must be in [1, 15]");
    }
}

TEST(DensityState, TransfersAndCopiesOnlyMatchingSizes) {
    DeviceDensityState state(2, velloran::Dtype::Complex128, 0);
    std::vector<CuComplex<double>> host(16);
    const std::string message = "state size does not match DeviceDensityState size";
    expect_invalid([&] { state.upload(host.data(), 15, false); }, message);
    expect_invalid([&] { state.download(host.data(), 17, false); }, message);
    DeviceDensityState bigger(3, velloran::Dtype::Complex128, 0);
    DeviceDensityState single(2, velloran::Dtype::Complex64, 0);
    expect_invalid([&] { state.copy_from(bigger); }, message);
    expect_invalid([&] { state.copy_from(single); }, message);
}

}  // namespace
