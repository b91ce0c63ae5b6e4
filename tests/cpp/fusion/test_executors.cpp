// Executor tests: the SparseShareMem kernel and the DenseMM path against the reference simulator in
// both precisions, their messages, the workspace, and the per-thread DenseMM cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <barrier>
#include <random>
#include <thread>

#include "common/cu_complex.h"
#include "common/device_buffer.h"
#include "fusion_test_util.h"
#include "ketsim/fusion/densemm.h"
#include "ketsim/fusion/fusion_workspace.h"
#include "ketsim/fusion/sparsesharemem.h"

using fusion_test::gate;
using fusion_test::State;
using ketsim::GateRecord;
using namespace ketsim::fusion;

namespace {

template <typename T>
std::vector<CuComplex<T>> to_device_form(const State& psi) {
    std::vector<CuComplex<T>> out(psi.size());
    for (size_t i = 0; i < psi.size(); ++i) out[i] = {static_cast<T>(psi[i].real()), static_cast<T>(psi[i].imag())};
    return out;
}

template <typename T>
State from_device_form(const std::vector<CuComplex<T>>& v) {
    State out(v.size());
    for (size_t i = 0; i < v.size(); ++i) out[i] = Complex(v[i].re, v[i].im);
    return out;
}

// A state in device memory of precision T.
template <typename T>
struct DeviceVector {
    explicit DeviceVector(const State& psi) : buffer(psi.size()) {
        const auto host = to_device_form<T>(psi);
        velloran::check_cuda(cudaMemcpy(buffer.get(), host.data(), host.size() * sizeof(host[0]), cudaMemcpyHostToDevice));
    }
    State read() const {
        std::vector<CuComplex<T>> host(buffer.size());
        velloran::check_cuda(cudaMemcpy(host.data(), buffer.get(), host.size() * sizeof(host[0]), cudaMemcpyDeviceToHost));
        return from_device_form(host);
    }
    velloran::DeviceBuffer<CuComplex<T>> buffer;
};

// Runs a plan group by group: fused groups on the executors, single gates with the reference (the
// per-gate kernels are not under test here).
template <typename T>
State run_plan(int n, const State& psi, const std::vector<GateRecord>& gates, const FusionPlan& plan) {
    DeviceVector<T> state(psi);
    FusionWorkspace<T> workspace = prepare_fusion_workspace<T>(n, plan);
    FusionWorkspaceScope<T> scope(workspace);
    for (const FusionGroup& group : plan.groups) {
        if (group.kind == AutoPair) {
            State host = state.read();
            fusion_test::reference_apply(host, n, gates[group.gate_indices[0]]);
            state = DeviceVector<T>(host);
            continue;
        }
        run_fused_group<T>(workspace, state.buffer.get(), group, nullptr);
        velloran::check_cuda(cudaGetLastError());
    }
    velloran::check_cuda(cudaDeviceSynchronize());
    return state.read();
}

template <typename T>
double tolerance(size_t gates) {
    return (sizeof(T) == sizeof(float) ? 2e-6 : 1e-14) * static_cast<double>(gates + 4);
}

// A random chunk of every fusable kind, with controls (state 0 or 1) and SWAPs.
std::vector<GateRecord> random_chunk(int n, int count, uint32_t seed) {
    std::mt19937 rng(seed);
    const auto pick = [&](int bound) { return static_cast<int>(rng() % static_cast<uint32_t>(bound)); };
    std::vector<GateRecord> gates;
    for (int i = 0; i < count; ++i) {
        std::vector<int64_t> qubits(n);
        for (int q = 0; q < n; ++q) qubits[q] = q;
        std::shuffle(qubits.begin(), qubits.end(), rng);
        uint32_t id = static_cast<uint32_t>(pick(17));
        if (id == ketsim::GLOBAL_PHASE) id = ketsim::UNITARY;
        const bool swap = id == ketsim::SWAP && n >= 2;
        if (id == ketsim::SWAP && !swap) id = ketsim::H;
        const int used = swap ? 2 : 1;
        const int controls = std::min(pick(3), n - used);
        std::vector<int64_t> control(qubits.begin() + used, qubits.begin() + used + controls);
        std::vector<int64_t> state;
        for (int c = 0; c < controls; ++c) state.push_back(pick(2));
        if (swap) {
            gates.push_back(gate(ketsim::SWAP, {qubits[0], qubits[1]}, control, {}, state));
            continue;
        }
        std::vector<double> params = {0.3 + i * 0.7};
        if (id == ketsim::U) params = {0.4 * i, 1.0 - 0.1 * i, 0.25};
        GateRecord g = gate(id, {qubits[0]}, control, params, state);
        if (id == ketsim::UNITARY) {
            const double a = 0.1 * i;
            g.matrix = {Complex(std::cos(a), 0), Complex(0, std::sin(a)), Complex(0, std::sin(a)), Complex(std::cos(a), 0)};
            g.matrix_dim = 2;
            g.has_matrix = true;
            g.params.clear();
        }
        gates.push_back(g);
    }
    return gates;
}

struct ExecCase {
    int n;
    int sparse_qubits;
    bool pad;
    double threshold_scale;  // -1 makes every eligible group DenseMM
    int dense_max;
};

std::ostream& operator<<(std::ostream& os, const ExecCase& c) {
    return os << "n" << c.n << "_K" << c.sparse_qubits << (c.pad ? "_pad" : "") << "_scale" << c.threshold_scale
              << "_dmax" << c.dense_max;
}

class Executors : public ::testing::TestWithParam<std::tuple<ExecCase, int>> {};

template <typename T>
void check_random_plan(const ExecCase& c, int seed) {
    FusionOptions options;
    options.sparsesharemem_qubits = c.sparse_qubits;
    options.pad_sparsesharemem = c.pad;
    options.densemm_gate_threshold_scale = c.threshold_scale;
    options.densemm_max_qubits = c.dense_max;
    const std::vector<GateRecord> gates = random_chunk(c.n, 60, static_cast<uint32_t>(seed * 7919 + c.n));
    const FusionPlan plan = plan_fusion(c.n, gates, options);
    const State psi = fusion_test::random_state(c.n, seed);
    const State expected = fusion_test::reference_run(psi, c.n, gates);
    EXPECT_LT(fusion_test::max_distance(run_plan<T>(c.n, psi, gates, plan), expected), tolerance<T>(gates.size()));
}

TEST_P(Executors, RandomPlansMatchTheReferenceInDouble) {
    check_random_plan<double>(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

TEST_P(Executors, RandomPlansMatchTheReferenceInFloat) {
    check_random_plan<float>(std::get<0>(GetParam()), std::get<1>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(
    Plans, Executors,
    ::testing::Combine(::testing::Values(ExecCase{1, 10, true, 1.0, 7}, ExecCase{2, 10, true, 1.0, 7},
                                         ExecCase{5, 3, false, 1.0, 0}, ExecCase{5, 3, false, -1.0, 7},
                                         ExecCase{8, 4, true, 1.0, 7}, ExecCase{9, 5, false, -1.0, 5},
                                         ExecCase{10, 10, true, 1.0, 7}, ExecCase{12, 10, true, 1.0, 7},
                                         ExecCase{12, 6, false, -1.0, 7}, ExecCase{13, 7, false, -1.0, 7}),
                       ::testing::Range(0, 3)));

TEST(SparseShareMem, MoreTilesThanBlocks) {
    // 2^16 tiles of 4 amplitudes: the block loop must visit tiles beyond the 65535-block grid.
    std::vector<GateRecord> gates;
    for (int i = 0; i < 6; ++i) gates.push_back(gate(i % 2 ? ketsim::H : ketsim::RY, {17 * (i % 2)}, {}, {0.2 * i}));
    gates.push_back(gate(ketsim::SWAP, {17, 0}));
    FusionOptions options;
    options.sparsesharemem_qubits = 2;
    options.densemm_max_qubits = 0;
    const FusionPlan plan = plan_fusion(18, gates, options);
    ASSERT_EQ(plan.groups.size(), 1u);
    ASSERT_EQ(plan.groups[0].kind, SparseShareMem);
    ASSERT_EQ(plan.groups[0].active_qubits, (std::vector<int64_t>{0, 17}));
    const State psi = fusion_test::random_state(18, 5);
    EXPECT_LT(fusion_test::max_distance(run_plan<double>(18, psi, gates, plan), fusion_test::reference_run(psi, 18, gates)),
              1e-13);
}

TEST(DenseMM, ScatteredActiveQubits) {
    // Active qubits {0, 3, 5} of 8, and the top qubit alone.
    for (const std::vector<int64_t>& active : {std::vector<int64_t>{0, 3, 5}, std::vector<int64_t>{7}}) {
        std::vector<GateRecord> gates;
        for (size_t i = 0; i < 8; ++i) gates.push_back(gate(ketsim::U, {active[i % active.size()]}, {}, {0.3 * i, 0.2, -0.4}));
        if (active.size() > 1) gates.push_back(gate(ketsim::X, {5}, {0}));
        FusionOptions options;
        options.densemm_gate_threshold_scale = -1.0;
        const FusionPlan plan = plan_fusion(8, gates, options);
        ASSERT_EQ(plan.groups.size(), 1u);
        ASSERT_EQ(plan.groups[0].kind, DenseMM);
        EXPECT_EQ(plan.groups[0].active_qubits, active);
        const State psi = fusion_test::random_state(8, 11);
        const State expected = fusion_test::reference_run(psi, 8, gates);
        EXPECT_LT(fusion_test::max_distance(run_plan<double>(8, psi, gates, plan), expected), 1e-13);
        EXPECT_LT(fusion_test::max_distance(run_plan<float>(8, psi, gates, plan), expected), 1e-5);
    }
}

// ---- messages ----

template <typename F>
std::string message_of(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "no error";
}

TEST(Messages, SparseShareMemLauncher) {
    velloran::DeviceBuffer<CuComplex<double>> state(16);
    velloran::DeviceBuffer<DeviceMatrixGate<CuComplex<double>>> records(1);
    const auto launch = [&](int64_t n, uint64_t mask, int32_t k, int32_t count) {
        return message_of([&] { launch_sparsesharemem<double>(n, state.get(), mask, k, records.get(), count, nullptr); });
    };
    EXPECT_EQ(launch(4, 0, 0, 1), "SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(launch(12, 0x7FF, 11, 1), "SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(launch(4, 0x1F, 5, 1), "SparseShareMem active qubits exceed circuit size");
    EXPECT_EQ(launch(4, 0x3, 2, 0), "SparseShareMem group cannot be empty");
    EXPECT_EQ(launch(4, 0x30, 2, 1), "SparseShareMem active mask must name k qubits below n");
    EXPECT_EQ(launch(4, 0x7, 2, 1), "SparseShareMem active mask must name k qubits below n");
}

TEST(Messages, DenseMMExecutor) {
    velloran::DeviceBuffer<CuComplex<float>> state(8), scratch(8), other(8), matrix(64);
    cublasHandle_t handle = nullptr;
    ASSERT_EQ(cublasCreate(&handle), CUBLAS_STATUS_SUCCESS);
    const auto apply = [&](int64_t n, uint64_t mask, int32_t k) {
        return message_of([&] {
            apply_densemm<float>(handle, n, state.get(), scratch.get(), other.get(), mask, k, matrix.get(), nullptr);
        });
    };
    EXPECT_EQ(apply(3, 0x7, 3), "DenseMM active qubits must be in [1, n-1]");
    EXPECT_EQ(apply(3, 0x0, 0), "DenseMM active qubits must be in [1, n-1]");
    EXPECT_EQ(apply(3, 0x9, 2), "DenseMM active mask must name k qubits below n");
    EXPECT_EQ(apply(3, 0x3, 2), "no error");
    cublasDestroy(handle);
}

TEST(Messages, AutoPairGroupInTheWorkspace) {
    FusionWorkspace<double> workspace = prepare_fusion_workspace<double>(3, FusionPlan{});
    FusionGroup group;
    group.kind = AutoPair;
    group.gate_indices = {0};
    group.active_qubits = {0};
    velloran::DeviceBuffer<CuComplex<double>> state(8);
    EXPECT_EQ(message_of([&] { run_fused_group<double>(workspace, state.get(), group, nullptr); }),
              "AutoPair group cannot use fusion workspace");
    group.kind = 7;
    EXPECT_EQ(message_of([&] { run_fused_group<double>(workspace, state.get(), group, nullptr); }),
              "AutoPair group cannot use fusion workspace");
}

TEST(Messages, FusedGroupsRunInOrderUntilOneFails) {
    // A SparseShareMem group padded to 11 qubits: the group before it is applied, then the executor
    // refuses it when its turn comes.
    const std::vector<GateRecord> gates = {gate(ketsim::X, {0}), gate(ketsim::X, {1}), gate(ketsim::GLOBAL_PHASE, {}, {}, {0.1}),
                                           gate(ketsim::H, {0}), gate(ketsim::H, {1})};
    FusionOptions options;
    options.sparsesharemem_qubits = 11;
    options.pad_sparsesharemem = false;
    FusionPlan plan = plan_fusion(12, gates, options);
    ASSERT_EQ(plan.groups.size(), 3u);
    lower_group(12, gates, FusionOptions{.sparsesharemem_qubits = 11}, plan.groups[2]);
    plan.groups[2].sparse_offset = 2;
    ASSERT_EQ(plan.groups[2].active_qubits.size(), 11u);
    State psi(4096);
    psi[0] = 1;
    DeviceVector<double> state(psi);
    FusionWorkspace<double> workspace = prepare_fusion_workspace<double>(12, plan);
    FusionWorkspaceScope<double> scope(workspace);
    run_fused_group<double>(workspace, state.buffer.get(), plan.groups[0], nullptr);
    EXPECT_EQ(message_of([&] { run_fused_group<double>(workspace, state.buffer.get(), plan.groups[2], nullptr); }),
              "SparseShareMem active qubits must be in [1, 10]");
    EXPECT_EQ(state.read()[3], Complex(1, 0));
}

TEST(Messages, InconsistentPlansAreRefusedBeforeAnyUpload) {
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1})};
    FusionOptions options;
    options.pad_sparsesharemem = false;
    const FusionPlan good = plan_fusion(4, gates, options);
    ASSERT_EQ(good.groups.size(), 1u);
    ASSERT_EQ(good.groups[0].kind, SparseShareMem);
    const auto refused = [](const FusionPlan& plan) {
        return message_of([&] {
                   FusionWorkspace<float> workspace = prepare_fusion_workspace<float>(4, plan);
                   release_fusion_workspace(workspace);
               }) == "invalid fusion plan";
    };
    FusionPlan plan = good;
    plan.groups[0].device_gates[0].target = 2;  // outside the 2-qubit tile
    EXPECT_TRUE(refused(plan));
    plan = good;
    plan.groups[0].device_gates[1].control_mask = 2;  // the target as its own control
    EXPECT_TRUE(refused(plan));
    plan = good;
    plan.groups[0].device_gates[1].control_value = 1;  // a required value outside the control mask
    EXPECT_TRUE(refused(plan));
    plan = good;
    plan.groups[0].active_qubits = {1, 0};
    EXPECT_TRUE(refused(plan));
    plan = good;
    plan.groups[0].active_qubits = {0, 4};
    EXPECT_TRUE(refused(plan));
    plan = good;
    plan.sparse_gate_total = 1000;
    EXPECT_TRUE(refused(plan));
    plan = good;
    plan.groups[0].sparse_offset = 1;
    EXPECT_TRUE(refused(plan));
    EXPECT_FALSE(refused(good));
}

// ---- DenseMM cache ----

FusionPlan dense_plan(int64_t n) {
    FusionOptions options;
    options.densemm_gate_threshold_scale = -1.0;
    FusionPlan plan = plan_fusion(n, {gate(ketsim::H, {0}), gate(ketsim::H, {1})}, options);
    EXPECT_EQ(plan.groups.at(0).kind, DenseMM);
    return plan;
}

template <typename T>
DenseMMCacheView prepare_and_view(const FusionPlan& plan, int64_t n) {
    FusionWorkspace<T> workspace = prepare_fusion_workspace<T>(n, plan);
    EXPECT_EQ(workspace.transpose_buffer == nullptr, workspace.handle == nullptr);
    release_fusion_workspace(workspace);
    return densemm_cache_view<T>();
}

// Each case runs on a fresh thread, whose caches start empty.
template <typename F>
void on_new_thread(F&& f) {
    std::thread worker(std::forward<F>(f));
    worker.join();
}

TEST(DenseMMCache, UntouchedByPlansWithoutDenseGroups) {
    on_new_thread([] {
        const FusionPlan plan = plan_fusion(6, {gate(ketsim::H, {0}), gate(ketsim::H, {1})}, FusionOptions{});
        ASSERT_EQ(plan.groups.at(0).kind, SparseShareMem);
        const DenseMMCacheView view = prepare_and_view<double>(plan, 6);
        EXPECT_EQ(view.device, -1);
        EXPECT_EQ(view.capacity, 0u);
        EXPECT_FALSE(view.has_handle);
        EXPECT_EQ(view.transpose_buffer, nullptr);
    });
}

TEST(DenseMMCache, ReusedGrownAndNeverShrunk) {
    on_new_thread([] {
        const DenseMMCacheView first = prepare_and_view<double>(dense_plan(10), 10);
        EXPECT_EQ(first.device, 0);
        EXPECT_EQ(first.capacity, 1024u);
        EXPECT_TRUE(first.has_handle);
        ASSERT_NE(first.transpose_buffer, nullptr);
        ASSERT_NE(first.gemm_buffer, nullptr);
        EXPECT_NE(first.transpose_buffer, first.gemm_buffer);
        const DenseMMCacheView again = prepare_and_view<double>(dense_plan(10), 10);
        EXPECT_EQ(again.transpose_buffer, first.transpose_buffer);
        EXPECT_EQ(again.gemm_buffer, first.gemm_buffer);
        const DenseMMCacheView smaller = prepare_and_view<double>(dense_plan(7), 7);
        EXPECT_EQ(smaller.capacity, 1024u);
        EXPECT_EQ(smaller.transpose_buffer, first.transpose_buffer);
        const DenseMMCacheView larger = prepare_and_view<double>(dense_plan(12), 12);
        EXPECT_EQ(larger.capacity, 4096u);
        // Results stay right with buffers larger than the state.
        const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1})};
        const State psi = fusion_test::random_state(5, 1);
        EXPECT_LT(fusion_test::max_distance(run_plan<double>(5, psi, gates, dense_plan(5)),
                                            fusion_test::reference_run(psi, 5, gates)),
                  1e-14);
        EXPECT_EQ(densemm_cache_view<double>().capacity, 4096u);
    });
}

TEST(DenseMMCache, PrecisionsHaveSeparateCaches) {
    on_new_thread([] {
        const DenseMMCacheView twin = prepare_and_view<double>(dense_plan(9), 9);
        EXPECT_EQ(densemm_cache_view<float>().device, -1);
        const DenseMMCacheView single = prepare_and_view<float>(dense_plan(6), 6);
        EXPECT_EQ(single.capacity, 64u);
        EXPECT_NE(single.transpose_buffer, twin.transpose_buffer);
        EXPECT_EQ(densemm_cache_view<double>().capacity, 512u);
    });
}

TEST(DenseMMCache, ThreadsHaveSeparateCaches) {
    std::barrier meet(2);
    DenseMMCacheView views[2];
    const auto work = [&](int i) {
        views[i] = prepare_and_view<double>(dense_plan(8 + i), 8 + i);
        meet.arrive_and_wait();  // both caches alive at once
        const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {1})};
        const State psi = fusion_test::random_state(8 + i, i);
        EXPECT_LT(fusion_test::max_distance(run_plan<double>(8 + i, psi, gates, dense_plan(8 + i)),
                                            fusion_test::reference_run(psi, 8 + i, gates)),
                  1e-14);
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();
    EXPECT_NE(views[0].transpose_buffer, views[1].transpose_buffer);
    EXPECT_EQ(views[0].capacity, 256u);
    EXPECT_EQ(views[1].capacity, 512u);
}

TEST(Workspace, HoldsThePlansRecordsAndMatrices) {
    FusionOptions options;
    options.sparsesharemem_qubits = 2;
    options.densemm_gate_threshold_scale = -1.0;
    options.densemm_min_qubits = 2;
    const std::vector<GateRecord> gates = {gate(ketsim::H, {0}), gate(ketsim::H, {0}), gate(ketsim::GLOBAL_PHASE, {}, {}, {1.0}),
                                           gate(ketsim::H, {2}), gate(ketsim::H, {3})};
    const FusionPlan plan = plan_fusion(6, gates, options);
    ASSERT_EQ(plan.groups.size(), 3u);
    FusionWorkspace<float> workspace = prepare_fusion_workspace<float>(6, plan);
    EXPECT_EQ(workspace.n, 6);
    EXPECT_NE(workspace.sparse_records, nullptr);
    EXPECT_NE(workspace.dense_matrices, nullptr);
    EXPECT_NE(workspace.handle, nullptr);
    std::vector<DeviceMatrixGate<CuComplex<float>>> records(2);
    velloran::check_cuda(cudaMemcpy(records.data(), workspace.sparse_records, 2 * sizeof(records[0]), cudaMemcpyDeviceToHost));
    EXPECT_EQ(records[1].op, kOpH);
    EXPECT_EQ(records[1].matrix[0].re, 0.70710677f);
    release_fusion_workspace(workspace);
    EXPECT_EQ(workspace.sparse_records, nullptr);
    EXPECT_EQ(workspace.dense_matrices, nullptr);
}

}  // namespace
