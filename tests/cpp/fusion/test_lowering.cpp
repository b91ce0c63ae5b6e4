// Lowering tests: gate matrices, the DenseMM cost rule (interpolation, clamping, control weights,
// threshold scale), padding, records in local numbering and dense group matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fusion_test_util.h"
#include "ketsim/fusion/fusion.h"

using fusion_test::gate;
using ketsim::GateRecord;
using namespace ketsim::fusion;

namespace {

// The measured rows the rule is built on: n = 14 at k' = 1, 2, 4, 7 and k' = 4 at n = 16.
constexpr double kRow14k1[9] = {0.2267309915, 0, 0, 0.4663068114, 0.4305625079, 0.4126543972, 1, 0, 19.2041906135};
constexpr double kRow14k2[9] = {0.1936448856, 0, 0, 0.4348312641, 0.363032671, 0.3665311539, 1, 0, 8.5737386278};
constexpr double kRow14k4[9] = {0.1294603588, 0, 0, 0.4418767094, 0.4124389028, 0.4355293568, 1, 0, 6.5972433902};
constexpr double kRow14k7[9] = {0.1439097654, 0, 0, 0.423664967, 0.4280879442, 0.4036212946, 1, 0, 37.7536502156};
constexpr double kRow16k4[9] = {0.1237890392, 0, 0, 0.396066647, 0.3837057141, 0.4006176829, 1, 0, 4.6912812249};
constexpr double kRow24k4[9] = {0.0271617336, 0, 0, 0.3967623538, 0.3566315969, 0.3739319939, 1, 0, 5.5504598856};

void expect_row(const std::array<double, 9>& actual, const double (&expected)[9]) {
    for (int j = 0; j < 9; ++j) EXPECT_DOUBLE_EQ(actual[j], expected[j]) << "V" << j;
}

FusionGroup group_of(std::vector<uint64_t> indices, std::vector<int64_t> active) {
    FusionGroup g;
    g.gate_indices = std::move(indices);
    g.active_qubits = std::move(active);
    return g;
}

std::vector<uint64_t> first_indices(size_t count) {
    std::vector<uint64_t> v(count);
    for (size_t i = 0; i < count; ++i) v[i] = i;
    return v;
}

// ---- gate matrices ----

struct MatrixCase {
    GateRecord gate;
    GateMatrix expected;
};

class GateMatrixTable : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(GateMatrixTable, MatchesTheTableExactly) {
    const auto m = gate_matrix(GetParam().gate);
    ASSERT_TRUE(m.has_value());
    for (int j = 0; j < 4; ++j) {
        EXPECT_EQ((*m)[j].real(), GetParam().expected[j].real()) << j;
        EXPECT_EQ((*m)[j].imag(), GetParam().expected[j].imag()) << j;
    }
}

const double kTheta = 0.7, kPhi = -1.3, kLambda = 2.1;
const double c = std::cos(kTheta / 2), s = std::sin(kTheta / 2);
const double h = 0.7071067811865475;
using C = Complex;

INSTANTIATE_TEST_SUITE_P(
    Fusion, GateMatrixTable,
    ::testing::Values(
        MatrixCase{gate(ketsim::X, {0}), {C(0, 0), C(1, 0), C(1, 0), C(0, 0)}},
        MatrixCase{gate(ketsim::Y, {0}), {C(0, 0), C(0, -1), C(0, 1), C(0, 0)}},
        MatrixCase{gate(ketsim::Z, {0}), {C(1, 0), C(0, 0), C(0, 0), C(-1, 0)}},
        MatrixCase{gate(ketsim::H, {0}), {C(h, 0), C(h, 0), C(h, 0), C(-h, 0)}},
        MatrixCase{gate(ketsim::S, {0}), {C(1, 0), C(0, 0), C(0, 0), C(0, 1)}},
        MatrixCase{gate(ketsim::SDAG, {0}), {C(1, 0), C(0, 0), C(0, 0), C(0, -1)}},
        MatrixCase{gate(ketsim::SQRTX, {0}), {C(.5, .5), C(.5, -.5), C(.5, -.5), C(.5, .5)}},
        MatrixCase{gate(ketsim::SQRTXDAG, {0}), {C(.5, -.5), C(.5, .5), C(.5, .5), C(.5, -.5)}},
        MatrixCase{gate(ketsim::SQRTY, {0}), {C(.5, .5), C(-.5, -.5), C(.5, .5), C(.5, .5)}},
        MatrixCase{gate(ketsim::SQRTYDAG, {0}), {C(.5, -.5), C(.5, -.5), C(-.5, .5), C(.5, -.5)}},
        MatrixCase{gate(ketsim::RX, {0}, {}, {kTheta}), {C(c, 0), C(0, -s), C(0, -s), C(c, 0)}},
        MatrixCase{gate(ketsim::RY, {0}, {}, {kTheta}), {C(c, 0), C(-s, 0), C(s, 0), C(c, 0)}},
        MatrixCase{gate(ketsim::RZ, {0}, {}, {kTheta}), {C(c, -s), C(0, 0), C(0, 0), C(c, s)}},
        MatrixCase{gate(ketsim::PHASE, {0}, {}, {kLambda}),
                   {C(1, 0), C(0, 0), C(0, 0), C(std::cos(kLambda), std::sin(kLambda))}},
        MatrixCase{gate(ketsim::U, {0}, {}, {kTheta, kPhi, kLambda}),
                   {C(c, 0), C(-std::cos(kLambda) * s, -std::sin(kLambda) * s),
                    C(std::cos(kPhi) * s, std::sin(kPhi) * s),
                    C(std::cos(kPhi + kLambda) * c, std::sin(kPhi + kLambda) * c)}}));

TEST(GateMatrix, HadamardEntryIsOneUlpBelowTheKernelConstant) {
    const double entry = (*gate_matrix(gate(ketsim::H, {3})))[0].real();
    uint64_t bits = 0;
    std::memcpy(&bits, &entry, sizeof bits);
    EXPECT_EQ(bits, 0x3FE6A09E667F3BCCull);
    EXPECT_EQ(std::nextafter(entry, 1.0), 0.7071067811865476);
}

TEST(GateMatrix, OneTargetUnitaryIsCopiedRowMajor) {
    GateRecord g = gate(ketsim::UNITARY, {2});
    g.matrix = {C(1, 2), C(3, 4), C(5, 6), C(7, 8)};
    g.matrix_dim = 2;
    g.has_matrix = true;
    const auto m = gate_matrix(g);
    ASSERT_TRUE(m.has_value());
    for (int j = 0; j < 4; ++j) EXPECT_EQ((*m)[j], g.matrix[j]);
}

TEST(GateMatrix, GatesWithoutATwoByTwoForm) {
    EXPECT_FALSE(gate_matrix(gate(ketsim::SWAP, {0})).has_value());
    EXPECT_FALSE(gate_matrix(gate(ketsim::GLOBAL_PHASE, {0}, {}, {0.1})).has_value());
    EXPECT_FALSE(gate_matrix(gate(ketsim::RX, {0})).has_value());
    EXPECT_FALSE(gate_matrix(gate(ketsim::PHASE, {0}, {}, {1.0, 2.0})).has_value());
    EXPECT_FALSE(gate_matrix(gate(ketsim::U, {0}, {}, {1.0})).has_value());
    EXPECT_FALSE(gate_matrix(gate(ketsim::X, {0, 1})).has_value());
    EXPECT_FALSE(gate_matrix(gate(18, {0})).has_value());
    GateRecord unitary = gate(ketsim::UNITARY, {0});
    unitary.matrix.assign(3, 1.0);
    unitary.matrix_dim = 2;
    EXPECT_FALSE(gate_matrix(unitary).has_value());
}

// ---- cost rule ----

TEST(CostRule, SmallStatesUseTheFourteenQubitRows) {
    expect_row(densemm_cost_row(3, 2), kRow14k2);
    expect_row(densemm_cost_row(14, 4), kRow14k4);
}

TEST(CostRule, BreakpointsAndLargeStatesUseTheirRows) {
    expect_row(densemm_cost_row(16, 4), kRow16k4);
    expect_row(densemm_cost_row(24, 4), kRow24k4);
    expect_row(densemm_cost_row(30, 4), kRow24k4);
    expect_row(densemm_cost_row(62, 4), kRow24k4);
}

TEST(CostRule, OddSizesUseTheMeanOfTheNeighbours) {
    const auto mid = densemm_cost_row(15, 4);
    for (int j = 0; j < 9; ++j) EXPECT_NEAR(mid[j], (kRow14k4[j] + kRow16k4[j]) / 2, 1e-15) << j;
    for (int n = 17; n <= 23; n += 2) {
        for (int k = 1; k <= 7; ++k) {
            const auto lo = densemm_cost_row(n - 1, k), hi = densemm_cost_row(n + 1, k), v = densemm_cost_row(n, k);
            for (int j = 0; j < 9; ++j) EXPECT_NEAR(v[j], (lo[j] + hi[j]) / 2, 1e-12) << n << " " << k << " " << j;
        }
    }
}

TEST(CostRule, GroupSizeIsClampedToTheTable) {
    expect_row(densemm_cost_row(14, 0), kRow14k1);
    expect_row(densemm_cost_row(14, 9), kRow14k7);
    expect_row(densemm_cost_row(10, 40), kRow14k7);
}

TEST(CostRule, FixedWeightsInEveryRow) {
    for (int n = 14; n <= 24; ++n) {
        for (int k = 1; k <= 7; ++k) {
            const auto v = densemm_cost_row(n, k);
            EXPECT_EQ(v[1], 0);
            EXPECT_EQ(v[2], 0);
            EXPECT_EQ(v[6], 1);
            EXPECT_EQ(v[7], 0);
            for (int j : {3, 4, 5}) {
                EXPECT_GE(v[j], 0.28);
                EXPECT_LE(v[j], 0.48);
            }
            EXPECT_GT(v[8], 0);
            EXPECT_LE(densemm_cost_row(n, 4)[8], v[8]);  // the threshold is lowest at k' = 4
        }
    }
}

TEST(CostRule, TwoHadamardsOnTwelveQubits) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {1}), gate(ketsim::H, {4})};
    const double score = densemm_score(12, gates, group_of({0, 1}, {1, 4}), FusionOptions{});
    EXPECT_DOUBLE_EQ(score, -8.5737386278 + 2 * (0.1936448856 + 0.4348312641));
    FusionGroup g = group_of({0, 1}, {1, 4});
    lower_group(12, gates, FusionOptions{}, g);
    EXPECT_EQ(g.kind, SparseShareMem);
    EXPECT_EQ(g.active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST(CostRule, ControlsScaleTheWeightByPowersOfTwo) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}),         gate(ketsim::H, {0}, {1}),
                                           gate(ketsim::H, {0}, {1, 2}), gate(ketsim::X, {0}, {1}),
                                           gate(ketsim::Y, {0}),         gate(ketsim::RX, {0}, {1, 2, 3}, {0.2})};
    const auto v = densemm_cost_row(14, 4);
    FusionOptions options;
    options.densemm_gate_threshold_scale = 0.0;
    const std::vector<int64_t> active = {0, 1, 2, 3};
    EXPECT_DOUBLE_EQ(densemm_score(14, gates, group_of({0}, active), options), v[0] + v[3]);
    EXPECT_DOUBLE_EQ(densemm_score(14, gates, group_of({1}, active), options), v[0] + 0.5 * v[3]);
    EXPECT_DOUBLE_EQ(densemm_score(14, gates, group_of({2}, active), options), v[0] + 0.25 * v[3]);
    EXPECT_DOUBLE_EQ(densemm_score(14, gates, group_of({3}, active), options), v[0]);
    EXPECT_DOUBLE_EQ(densemm_score(14, gates, group_of({4}, active), options), v[0]);
    EXPECT_DOUBLE_EQ(densemm_score(14, gates, group_of({5}, active), options), v[0] + 0.125 * v[5]);
}

TEST(CostRule, WeightIndexOfEveryGateId) {
    const auto v = densemm_cost_row(20, 3);
    FusionOptions options;
    options.densemm_gate_threshold_scale = 0.0;
    const struct {
        uint32_t id;
        int weight;
    } cases[] = {{ketsim::X, 1},     {ketsim::Y, 2},        {ketsim::Z, 4},     {ketsim::H, 3},
                 {ketsim::S, 4},     {ketsim::SDAG, 4},     {ketsim::SQRTX, 6}, {ketsim::SQRTXDAG, 6},
                 {ketsim::SQRTY, 6}, {ketsim::SQRTYDAG, 6}, {ketsim::SWAP, 7},  {ketsim::RX, 5},
                 {ketsim::RY, 5},    {ketsim::RZ, 4},       {ketsim::PHASE, 4}, {ketsim::U, 6},
                 {ketsim::UNITARY, 6}};
    for (const auto& cs : cases) {
        const std::vector<GateRecord> gates = {gate(cs.id, {0})};
        EXPECT_DOUBLE_EQ(densemm_score(20, gates, group_of({0}, {0, 1, 2}), options), v[0] + v[cs.weight]) << cs.id;
    }
}

TEST(CostRule, ThresholdScaleMultipliesTheThreshold) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {1}), gate(ketsim::H, {4})};
    FusionOptions options;
    options.densemm_gate_threshold_scale = 0.125;
    const double sum = 2 * (0.1936448856 + 0.4348312641);
    EXPECT_DOUBLE_EQ(densemm_score(12, gates, group_of({0, 1}, {1, 4}), options), -0.125 * 8.5737386278 + sum);
    FusionGroup g = group_of({0, 1}, {1, 4});
    lower_group(12, gates, options, g);
    EXPECT_EQ(g.kind, DenseMM);
    EXPECT_EQ(g.active_qubits, (std::vector<int64_t>{1, 4}));  // DenseMM groups are never padded
}

// ---- kinds and padding ----

TEST(Kind, GroupAsLargeAsTheStateIsSparse) {
    FusionOptions options;
    options.densemm_gate_threshold_scale = -1.0;
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1})};
    FusionGroup g = group_of({0, 1}, {0, 1});
    lower_group(2, gates, options, g);
    EXPECT_EQ(g.kind, SparseShareMem);
    FusionGroup wider = group_of({0, 1}, {0, 1});
    lower_group(3, gates, options, wider);
    EXPECT_EQ(wider.kind, DenseMM);
}

TEST(Kind, RangeOfDenseGroupSizes) {
    FusionOptions options;
    options.densemm_gate_threshold_scale = -1.0;
    options.densemm_min_qubits = 2;
    options.densemm_max_qubits = 3;
    std::vector<GateRecord> gates;
    for (int q = 0; q < 4; ++q) gates.push_back(gate(ketsim::H, {q}));
    const auto kind_for = [&](size_t k) {
        std::vector<int64_t> active;
        for (size_t q = 0; q < k; ++q) active.push_back(static_cast<int64_t>(q));
        FusionGroup g = group_of(first_indices(k == 1 ? 2 : k), active);
        if (k == 1) gates[1] = gate(ketsim::Z, {0});
        lower_group(10, gates, options, g);
        return g.kind;
    };
    EXPECT_EQ(kind_for(2), DenseMM);
    EXPECT_EQ(kind_for(3), DenseMM);
    EXPECT_EQ(kind_for(4), SparseShareMem);
    EXPECT_EQ(kind_for(1), SparseShareMem);
}

TEST(Kind, NineQubitGroupUsesTheSevenQubitRow) {
    FusionOptions options;
    options.densemm_max_qubits = 9;
    std::vector<GateRecord> gates;
    for (int q = 0; q < 9; ++q) gates.push_back(gate(ketsim::H, {q}));
    std::vector<int64_t> active = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    const auto v = densemm_cost_row(20, 9);
    EXPECT_EQ(v, densemm_cost_row(20, 7));
    EXPECT_DOUBLE_EQ(densemm_score(20, gates, group_of(first_indices(9), active), options), -v[8] + 9 * (v[0] + v[3]));
}

TEST(Padding, AddsTheLowestUnusedQubits) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {3}), gate(ketsim::X, {7}, {11})};
    FusionGroup g = group_of({0, 1}, {3, 7, 11});
    lower_group(12, gates, FusionOptions{}, g);
    EXPECT_EQ(g.kind, SparseShareMem);
    EXPECT_EQ(g.active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 11}));
    // Local numbering follows the padded set.
    EXPECT_EQ(g.device_gates[0].target, 3);
    EXPECT_EQ(g.device_gates[1].target, 7);
    EXPECT_EQ(g.device_gates[1].control_mask, 1 << 9);
}

TEST(Padding, SmallStatesAreCoveredWhole) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {4}), gate(ketsim::H, {4})};
    FusionGroup g = group_of({0, 1}, {4});
    lower_group(6, gates, FusionOptions{}, g);
    EXPECT_EQ(g.active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4, 5}));
}

TEST(Padding, OffOrAlreadyLargeEnough) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {4}), gate(ketsim::H, {6})};
    FusionOptions options;
    options.pad_sparsesharemem = false;
    FusionGroup g = group_of({0, 1}, {4, 6});
    lower_group(12, gates, options, g);
    EXPECT_EQ(g.active_qubits, (std::vector<int64_t>{4, 6}));
    options.pad_sparsesharemem = true;
    options.sparsesharemem_qubits = 2;
    FusionGroup h = group_of({0, 1}, {4, 6});
    lower_group(12, gates, options, h);
    EXPECT_EQ(h.active_qubits, (std::vector<int64_t>{4, 6}));
}

TEST(Padding, ElevenQubitsWhenAsked) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1})};
    FusionOptions options;
    options.sparsesharemem_qubits = 11;
    FusionGroup g = group_of({0, 1}, {0, 1});
    lower_group(12, gates, options, g);
    EXPECT_EQ(g.active_qubits.size(), 11u);
}

// ---- records ----

TEST(Records, LocalIndicesControlsAndOpCodes) {
    const std::vector<GateRecord> gates = {
        gate(ketsim::RX, {9}, {2, 5}, {0.4}, {1, 0}), gate(ketsim::SWAP, {9, 2}, {5}, {}, {0}),
        gate(ketsim::PHASE, {5}, {}, {0.3}),         gate(ketsim::SQRTY, {2}),
        gate(ketsim::RY, {2}, {}, {0.1}),            gate(ketsim::Y, {5}, {9})};
    FusionOptions options;
    options.pad_sparsesharemem = false;
    FusionGroup g = group_of(first_indices(gates.size()), {2, 5, 9});
    lower_group(12, gates, options, g);
    ASSERT_EQ(g.kind, SparseShareMem);
    ASSERT_EQ(g.device_gates.size(), gates.size());
    const auto& rx = g.device_gates[0];
    EXPECT_EQ(rx.op, kOpRX);
    EXPECT_EQ(rx.target, 2);
    EXPECT_EQ(rx.target2, 0);
    EXPECT_EQ(rx.control_mask, 0b011);
    EXPECT_EQ(rx.control_value, 0b001);
    const auto& swap = g.device_gates[1];
    EXPECT_EQ(swap.op, kOpSwap);
    EXPECT_EQ(swap.target, 2);
    EXPECT_EQ(swap.target2, 0);
    EXPECT_EQ(swap.control_mask, 0b010);
    EXPECT_EQ(swap.control_value, 0);
    EXPECT_EQ(swap.matrix[0], Complex(1, 0));
    EXPECT_EQ(swap.matrix[1], Complex(0, 0));
    EXPECT_EQ(swap.matrix[2], Complex(0, 0));
    EXPECT_EQ(swap.matrix[3], Complex(1, 0));
    EXPECT_EQ(g.device_gates[2].op, kOpDiagonal);
    EXPECT_EQ(g.device_gates[3].op, kOpMatrix);
    EXPECT_EQ(g.device_gates[4].op, kOpRY);
    EXPECT_EQ(g.device_gates[5].op, kOpY);
    EXPECT_EQ(g.device_gates[5].control_mask, 0b100);
}

TEST(Records, GuardsAgainstGatesThePlannerNeverFuses) {
    const auto lower = [](GateRecord bad) {
        const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), bad};
        FusionOptions options;
        options.pad_sparsesharemem = false;
        FusionGroup g = group_of({0, 1}, {0, 1, 2});
        lower_group(4, gates, options, g);
    };
    const auto message = [&](GateRecord bad) {
        try {
            lower(bad);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message(gate(ketsim::SWAP, {1, 1})), "unsupported fused SWAP gate");
    EXPECT_EQ(message(gate(ketsim::SWAP, {1})), "unsupported fused SWAP gate");
    EXPECT_EQ(message(gate(ketsim::SWAP, {1, 2}, {0}, {}, {1, 0})), "unsupported fused SWAP gate");
    EXPECT_EQ(message(gate(ketsim::SWAP, {1, 2}, {0}, {}, {2})), "unsupported fused SWAP gate");
    EXPECT_EQ(message(gate(ketsim::GLOBAL_PHASE, {}, {}, {0.1})), "unsupported SparseShareMem gate");
    EXPECT_EQ(message(gate(ketsim::X, {1}, {2}, {}, {5})), "unsupported SparseShareMem gate");
    EXPECT_EQ(message(gate(ketsim::X, {1}, {1})), "unsupported SparseShareMem gate");
    EXPECT_EQ(message(gate(ketsim::X, {3})), "unsupported SparseShareMem gate");  // not an active qubit
    EXPECT_EQ(message(gate(ketsim::X, {1}, {3})), "unsupported SparseShareMem gate");
    EXPECT_EQ(message(gate(ketsim::X, {1})), "no error");
}

// ---- dense matrices ----

std::vector<Complex> dense_of(std::vector<GateRecord> gates, std::vector<int64_t> active, int64_t n = 8) {
    FusionOptions options;
    options.densemm_gate_threshold_scale = -1.0;
    FusionGroup g = group_of(first_indices(gates.size()), active);
    lower_group(n, gates, options, g);
    EXPECT_EQ(g.kind, DenseMM);
    return g.dense_matrix;
}

// RZ(0) is exactly the identity, which makes a one-gate product testable as a group.
GateRecord identity_on(int64_t q) { return gate(ketsim::RZ, {q}, {}, {0.0}); }

std::vector<Complex> permutation(size_t dim, std::vector<size_t> image) {
    std::vector<Complex> m(dim * dim);
    for (size_t col = 0; col < dim; ++col) m[image[col] * dim + col] = 1;
    return m;
}

TEST(DenseMatrix, ControlledXExchangesRowsOneAndThree) {
    const auto m = dense_of({gate(ketsim::X, {1}, {0}), identity_on(0)}, {0, 1});
    EXPECT_EQ(m, permutation(4, {0, 3, 2, 1}));
}

TEST(DenseMatrix, ControlOnZeroState) {
    const auto m = dense_of({gate(ketsim::X, {1}, {0}, {}, {0}), identity_on(0)}, {0, 1});
    EXPECT_EQ(m, permutation(4, {2, 1, 0, 3}));
}

TEST(DenseMatrix, SwapAndControlledSwap) {
    EXPECT_EQ(dense_of({gate(ketsim::SWAP, {0, 1}), identity_on(0)}, {0, 1}), permutation(4, {0, 2, 1, 3}));
    EXPECT_EQ(dense_of({gate(ketsim::SWAP, {1, 0}), identity_on(0)}, {0, 1}), permutation(4, {0, 2, 1, 3}));
    // Fredkin: qubit 2 controls the exchange of qubits 0 and 1 (local 0, 1, 2 of {3, 5, 6}).
    EXPECT_EQ(dense_of({gate(ketsim::SWAP, {3, 5}, {6}), identity_on(3)}, {3, 5, 6}),
              permutation(8, {0, 1, 2, 3, 4, 6, 5, 7}));
}

TEST(DenseMatrix, ProductOrderIsLastGateOnTheLeft) {
    // H then S on one qubit: S H = [[h, h], [i h, -i h]].
    const auto m = dense_of({gate(ketsim::H, {2}), gate(ketsim::S, {2})}, {2});
    const double hh = 0.7071067811865475;
    EXPECT_EQ(m, (std::vector<Complex>{hh, hh, Complex(0, hh), Complex(0, -hh)}));
}

class DenseMatrixRandom : public ::testing::TestWithParam<int> {};

TEST_P(DenseMatrixRandom, EqualsTheReferenceOperator) {
    const int seed = GetParam();
    const std::vector<int64_t> active = {0, 3, 5, 6};
    std::vector<GateRecord> gates;
    uint32_t x = 2463534242u + seed;
    const auto next = [&]() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (int i = 0; i < 30; ++i) {
        const int64_t t = active[next() % 4];
        int64_t other = active[next() % 4];
        const uint32_t id = next() % 17;
        std::vector<int64_t> controls;
        std::vector<int64_t> states;
        if (other != t && next() % 2) {
            controls.push_back(other);
            states.push_back(next() % 2);
        }
        if (id == ketsim::SWAP) {
            if (other == t) other = active[(std::find(active.begin(), active.end(), t) - active.begin() + 1) % 4];
            gates.push_back(gate(ketsim::SWAP, {t, other}));
        } else if (id == ketsim::GLOBAL_PHASE) {
            gates.push_back(gate(ketsim::U, {t}, controls, {0.1 * i, -0.2 * i, 0.3}, states));
        } else {
            gates.push_back(gate(id, {t}, controls, {0.37 * i + 0.1}, states));
            if (id == ketsim::U) gates.back().params = {0.5, 1.5, -0.7};
        }
    }
    const auto m = dense_of(gates, active);
    const auto expected = fusion_test::reference_operator(gates, active);
    ASSERT_EQ(m.size(), expected.size());
    for (size_t i = 0; i < m.size(); ++i) EXPECT_NEAR(std::abs(m[i] - expected[i]), 0.0, 1e-12) << i;
}

INSTANTIATE_TEST_SUITE_P(Seeds, DenseMatrixRandom, ::testing::Range(0, 6));

TEST(DenseMatrix, TooLargeGroupsAreRefused) {
    EXPECT_EQ(dense_matrix_elements(29), uint64_t{1} << 58);
    EXPECT_THROW(dense_matrix_elements(30), std::invalid_argument);
    EXPECT_THROW(dense_matrix_elements(62), std::invalid_argument);
}

TEST(Lowering, SingleGateGroupIsLeftAlone) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {1})};
    FusionGroup g = group_of({0}, {1});
    g.kind = DenseMM;
    lower_group(4, gates, FusionOptions{}, g);
    EXPECT_EQ(g.kind, AutoPair);
    EXPECT_EQ(g.active_qubits, std::vector<int64_t>{1});
    EXPECT_TRUE(g.device_gates.empty());
    EXPECT_TRUE(g.dense_matrix.empty());
}

}  // namespace
