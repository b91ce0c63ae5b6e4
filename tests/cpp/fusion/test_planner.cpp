// Planner tests: which gates form each group, in which order the groups run, which gates may never
// join a fused group, and the offsets and totals of a plan.
#include <gtest/gtest.h>

#include "fusion_test_util.h"
#include "ketsim/fusion/fusion.h"

using fusion_test::gate;
using ketsim::GateRecord;
using namespace ketsim::fusion;

namespace {

std::vector<std::vector<uint64_t>> group_members(const FusionPlan& plan) {
    std::vector<std::vector<uint64_t>> members;
    for (const FusionGroup& g : plan.groups) members.push_back(g.gate_indices);
    return members;
}

using Members = std::vector<std::vector<uint64_t>>;

FusionOptions with_qubits(int32_t k) {
    FusionOptions options;
    options.sparsesharemem_qubits = k;
    return options;
}

TEST(Planner, OneGateIsOneAutoPairGroup) {
    const FusionPlan plan = plan_fusion(5, {gate(ketsim::H, {2})}, FusionOptions{});
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0].kind, AutoPair);
    EXPECT_EQ(plan.groups[0].gate_indices, std::vector<uint64_t>{0});
    EXPECT_EQ(plan.groups[0].active_qubits, std::vector<int64_t>{2});
    EXPECT_TRUE(plan.groups[0].device_gates.empty());
    EXPECT_EQ(plan.sparse_gate_total, 0u);
    EXPECT_EQ(plan.dense_element_total, 0u);
}

TEST(Planner, EmptyChunkHasNoGroups) {
    const FusionPlan plan = plan_fusion(3, {}, FusionOptions{});
    EXPECT_TRUE(plan.groups.empty());
}

TEST(Planner, RejectsQubitCountOutsideRange) {
    EXPECT_THROW(plan_fusion(0, {}, FusionOptions{}), std::invalid_argument);
    EXPECT_THROW(plan_fusion(63, {}, FusionOptions{}), std::invalid_argument);
}

class DisabledFusion : public ::testing::TestWithParam<FusionOptions> {};

TEST_P(DisabledFusion, EveryGateRunsAloneInInputOrder) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::X, {1}, {0}), gate(ketsim::H, {0}),
                                           gate(ketsim::SWAP, {0, 1}), gate(ketsim::Z, {1})};
    const FusionPlan plan = plan_fusion(4, gates, GetParam());
    ASSERT_EQ(plan.groups.size(), gates.size());
    for (size_t i = 0; i < gates.size(); ++i) {
        EXPECT_EQ(plan.groups[i].kind, AutoPair);
        EXPECT_EQ(plan.groups[i].gate_indices, std::vector<uint64_t>{i});
    }
}

FusionOptions no_window() {
    FusionOptions o;
    o.max_gates_per_group = 0;
    return o;
}
FusionOptions negative_window() {
    FusionOptions o;
    o.max_gates_per_group = -3;
    return o;
}

INSTANTIATE_TEST_SUITE_P(Options, DisabledFusion,
                         ::testing::Values(with_qubits(0), with_qubits(-1), no_window(), negative_window()));

TEST(Planner, SwapFusesOnlyWhenAllowed) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1}), gate(ketsim::SWAP, {0, 1}),
                                           gate(ketsim::H, {0}), gate(ketsim::H, {1})};
    FusionOptions options;
    const FusionPlan fused = plan_fusion(4, gates, options);
    ASSERT_EQ(group_members(fused), (Members{{0, 1, 2, 3, 4}}));
    EXPECT_EQ(fused.groups[0].device_gates[2].op, kOpSwap);
    options.fuse_swap = false;
    const FusionPlan apart = plan_fusion(4, gates, options);
    EXPECT_EQ(group_members(apart), (Members{{0, 1}, {2}, {3, 4}}));
    EXPECT_EQ(apart.groups[1].kind, AutoPair);
}

TEST(Planner, ReordersAroundRejectedGate) {
    // The controlled X touches three qubits with K = 2: rejected, it blocks qubits 0, 1, 2; the two H
    // gates form the first group (qubit 0 wins the tie with qubit 3) and the X follows alone.
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::X, {2}, {0, 1}), gate(ketsim::H, {3})};
    const FusionPlan plan = plan_fusion(4, gates, with_qubits(2));
    ASSERT_EQ(group_members(plan), (Members{{0, 2}, {1}}));
    EXPECT_EQ(plan.groups[0].kind, SparseShareMem);
    EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 3}));
    EXPECT_EQ(plan.groups[1].kind, AutoPair);
}

TEST(Planner, BlockedQubitsHoldBackLaterGates) {
    // The rejected first gate blocks qubits 0..2, so the H on qubit 0 waits behind it although it
    // would fit; the two H gates on qubit 3 go first.
    const std::vector<GateRecord> gates = {gate(ketsim::X, {2}, {0, 1}), gate(ketsim::H, {0}), gate(ketsim::H, {3}),
                                           gate(ketsim::Z, {3})};
    const FusionPlan plan = plan_fusion(4, gates, with_qubits(2));
    EXPECT_EQ(group_members(plan), (Members{{2, 3}, {0}, {1}}));
}

TEST(Planner, LargestConeIsChosenFirst) {
    // Qubit 1's cone has three gates, qubit 0's one; with K = 1 only one cone fits, so qubit 1's
    // gates form the first group, and the gate on qubit 0 the second.
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1}), gate(ketsim::Z, {1}),
                                           gate(ketsim::X, {1})};
    const FusionPlan plan = plan_fusion(3, gates, with_qubits(1));
    EXPECT_EQ(group_members(plan), (Members{{1, 2, 3}, {0}}));
    EXPECT_EQ(plan.groups[0].active_qubits, std::vector<int64_t>{1});
}

TEST(Planner, ConesFollowTwoQubitGates) {
    // CX(0 -> 1) joins the cones of qubits 0 and 1: the later H on qubit 1 depends on qubit 0 too.
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::X, {1}, {0}), gate(ketsim::H, {1}),
                                           gate(ketsim::H, {2}), gate(ketsim::H, {3})};
    const FusionPlan plan = plan_fusion(5, gates, with_qubits(3));
    // Qubit 1's cone {0, 1, 2} wins; qubit 2's cone fits beside it (K = 3); qubit 3's does not.
    EXPECT_EQ(group_members(plan), (Members{{0, 1, 2, 3}, {4}}));
    EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2}));
}

TEST(Planner, SixteenAlternatingRzFormOneGroup) {
    std::vector<GateRecord> gates;
    for (int i = 0; i < 16; ++i) gates.push_back(gate(ketsim::RZ, {i % 2}, {}, {0.1 * (i + 1)}));
    const FusionPlan plan = plan_fusion(14, gates, FusionOptions{});
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0].gate_indices.size(), 16u);
    EXPECT_EQ(plan.groups[0].kind, DenseMM);
    EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 1}));
    EXPECT_EQ(plan.groups[0].dense_matrix.size(), 16u);
}

TEST(Planner, FifteenAlternatingRzFormOneSparseGroup) {
    std::vector<GateRecord> gates;
    for (int i = 0; i < 15; ++i) gates.push_back(gate(ketsim::RZ, {i % 2}, {}, {0.1 * (i + 1)}));
    const FusionPlan plan = plan_fusion(14, gates, FusionOptions{});
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0].kind, SparseShareMem);
    EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_TRUE(plan.groups[0].dense_matrix.empty());
}

TEST(Planner, TwoGatesOnDifferentQubitsFuse) {
    const FusionPlan plan = plan_fusion(12, {gate(ketsim::H, {1}), gate(ketsim::H, {4})}, FusionOptions{});
    ASSERT_EQ(group_members(plan), (Members{{0, 1}}));
    EXPECT_EQ(plan.groups[0].kind, SparseShareMem);
}

TEST(Planner, WindowLengthBoundsGroups) {
    std::vector<GateRecord> gates(6, gate(ketsim::H, {0}));
    FusionOptions options;
    options.max_gates_per_group = 3;
    EXPECT_EQ(group_members(plan_fusion(2, gates, options)), (Members{{0, 1, 2}, {3, 4, 5}}));
}

// Gates that stop the window: the gates before them fuse, they run alone, the gates after fuse.
class StopsWindow : public ::testing::TestWithParam<GateRecord> {};

TEST_P(StopsWindow, RunsAloneBetweenFusedGroups) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1}), GetParam(),
                                           gate(ketsim::H, {0}), gate(ketsim::H, {1})};
    const FusionPlan plan = plan_fusion(4, gates, FusionOptions{});
    ASSERT_EQ(group_members(plan), (Members{{0, 1}, {2}, {3, 4}}));
    EXPECT_EQ(plan.groups[1].kind, AutoPair);
    EXPECT_FALSE(is_fusable(4, GetParam(), true));
}

GateRecord two_target_unitary() {
    GateRecord g = gate(ketsim::UNITARY, {0, 1});
    g.matrix.assign(16, 0.0);
    for (int i = 0; i < 4; ++i) g.matrix[i * 5] = 1.0;
    g.matrix_dim = 4;
    g.has_matrix = true;
    return g;
}

INSTANTIATE_TEST_SUITE_P(
    Gates, StopsWindow,
    ::testing::Values(gate(ketsim::GLOBAL_PHASE, {}, {}, {0.3}),             // no 2x2 form
                      two_target_unitary(),                                   // several targets
                      gate(ketsim::H, {0, 1}),                                // single-qubit gate, two targets
                      gate(ketsim::U, {0}, {}, {0.1, 0.2}),                   // U with two angles
                      gate(ketsim::RX, {0}),                                  // RX without its angle
                      gate(ketsim::SWAP, {0, 0}),                             // SWAP on one qubit
                      gate(ketsim::SWAP, {0}),                                // SWAP with one target
                      gate(ketsim::X, {0}, {1}, {}, {2}),                     // control state 2
                      gate(ketsim::X, {0}, {1}, {}, {-1}),                    // control state -1
                      gate(ketsim::SWAP, {0, 1}, {2}, {}, {3}),               // SWAP, control state 3
                      gate(ketsim::X, {0}, {0}),                              // control == target
                      gate(ketsim::SWAP, {0, 1}, {1}),                        // control == SWAP target
                      gate(ketsim::X, {0}, {1, 1}),                           // control twice
                      gate(ketsim::X, {4}),                                   // target >= n
                      gate(ketsim::X, {-1}),                                  // negative target
                      gate(ketsim::Z, {0}, {7}),                              // control >= n
                      gate(ketsim::X, {0}, {1}, {}, {1, 1}),                  // more states than controls
                      gate(ketsim::X, {})));                                  // no target

TEST(Planner, GateWithBadQubitsKeepsItsQubitsAsGiven) {
    const FusionPlan plan = plan_fusion(4, {gate(ketsim::X, {9}, {2, 2})}, FusionOptions{});
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0].kind, AutoPair);
    EXPECT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{2, 9}));
}

TEST(Planner, ReorderedGatesNeverShareQubitsWithSkippedOnes) {
    // A long mixed chunk on 8 qubits with K = 3: whenever a group runs before an earlier gate, they
    // must act on disjoint qubits.
    std::vector<GateRecord> gates;
    for (int i = 0; i < 200; ++i) {
        const int64_t t = (i * 5) % 8;
        if (i % 3 == 0) {
            gates.push_back(gate(ketsim::X, {t}, {(t + 1 + i % 4) % 8}));
        } else {
            gates.push_back(gate(ketsim::RY, {t}, {}, {0.01 * i}));
        }
    }
    const FusionPlan plan = plan_fusion(8, gates, with_qubits(3));
    std::vector<int> position(gates.size(), -1);
    for (size_t g = 0; g < plan.groups.size(); ++g) {
        for (uint64_t i : plan.groups[g].gate_indices) {
            ASSERT_EQ(position[i], -1);
            position[i] = static_cast<int>(g);
        }
        if (plan.groups[g].kind != AutoPair) {
            EXPECT_LE(plan.groups[g].active_qubits.size(), 3u);
        }
    }
    const auto qubits = [&](size_t i) {
        uint64_t m = 0;
        for (int64_t q : gates[i].targets) m |= uint64_t{1} << q;
        for (int64_t q : gates[i].controls) m |= uint64_t{1} << q;
        return m;
    };
    for (size_t a = 0; a < gates.size(); ++a) {
        ASSERT_GE(position[a], 0);
        for (size_t b = a + 1; b < gates.size(); ++b) {
            if (position[b] < position[a]) EXPECT_EQ(qubits(a) & qubits(b), 0u) << a << " " << b;
        }
    }
    const fusion_test::State psi = fusion_test::random_state(8, 3);
    std::vector<GateRecord> reordered;
    for (const FusionGroup& group : plan.groups) {
        for (uint64_t i : group.gate_indices) reordered.push_back(gates[i]);
    }
    EXPECT_LT(fusion_test::max_distance(fusion_test::reference_run(psi, 8, gates),
                                        fusion_test::reference_run(psi, 8, reordered)),
              1e-12);
}

TEST(Planner, OffsetsAndTotalsFollowListOrder) {
    // The 20 RZ gates hold the largest cones and run first (DenseMM, k = 2), then the three H gates on
    // qubit 0 (SparseShareMem, k = 1 is below densemm_min_qubits), the global phase alone, and the
    // X and Y on qubit 4 (SparseShareMem).
    FusionOptions options;
    options.sparsesharemem_qubits = 2;
    options.pad_sparsesharemem = false;
    options.densemm_min_qubits = 2;
    std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {0}), gate(ketsim::H, {0})};
    for (int i = 0; i < 20; ++i) gates.push_back(gate(ketsim::RZ, {2 + i % 2}, {}, {0.3}));
    gates.push_back(gate(ketsim::GLOBAL_PHASE, {}, {}, {0.5}));
    gates.push_back(gate(ketsim::X, {4}));
    gates.push_back(gate(ketsim::Y, {4}));
    const FusionPlan plan = plan_fusion(14, gates, options);
    ASSERT_EQ(plan.groups.size(), 4u);
    std::vector<uint64_t> rz(20);
    for (uint64_t i = 0; i < 20; ++i) rz[i] = 3 + i;
    EXPECT_EQ(group_members(plan), (Members{rz, {0, 1, 2}, {23}, {24, 25}}));
    EXPECT_EQ(plan.groups[0].kind, DenseMM);
    EXPECT_EQ(plan.groups[1].kind, SparseShareMem);
    EXPECT_EQ(plan.groups[2].kind, AutoPair);
    EXPECT_EQ(plan.groups[3].kind, SparseShareMem);
    EXPECT_EQ(plan.groups[0].dense_offset, 0u);
    EXPECT_EQ(plan.groups[1].sparse_offset, 0u);
    EXPECT_EQ(plan.groups[3].sparse_offset, 3u);
    EXPECT_EQ(plan.groups[3].active_qubits, std::vector<int64_t>{4});
    EXPECT_EQ(plan.sparse_gate_total, 5u);
    EXPECT_EQ(plan.dense_element_total, 16u);
}

TEST(Planner, DenseOffsetsAccumulateMatrixSizes) {
    FusionOptions options;
    options.sparsesharemem_qubits = 3;
    options.densemm_gate_threshold_scale = -1.0;  // every eligible group is DenseMM
    std::vector<GateRecord> gates;
    for (int i = 0; i < 3; ++i) gates.push_back(gate(ketsim::H, {i}));        // k = 3
    gates.push_back(gate(ketsim::GLOBAL_PHASE, {}, {}, {0.5}));
    for (int i = 0; i < 2; ++i) gates.push_back(gate(ketsim::H, {4 + i}));    // k = 2
    gates.push_back(gate(ketsim::GLOBAL_PHASE, {}, {}, {0.5}));
    gates.push_back(gate(ketsim::H, {1}));
    gates.push_back(gate(ketsim::H, {1}));                                      // k = 1
    const FusionPlan plan = plan_fusion(8, gates, options);
    ASSERT_EQ(plan.groups.size(), 5u);
    EXPECT_EQ(plan.groups[0].dense_offset, 0u);
    EXPECT_EQ(plan.groups[2].dense_offset, 64u);
    EXPECT_EQ(plan.groups[4].dense_offset, 80u);
    EXPECT_EQ(plan.dense_element_total, 84u);
    EXPECT_EQ(plan.sparse_gate_total, 0u);
}

}  // namespace
