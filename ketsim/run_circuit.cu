// The gate dispatcher, the mode switch of the circuit runner and the group loop of fused plans.
#include "run_circuit.h"

#include <limits>
#include <stdexcept>
#include <string>

#include "../common/cuda_check.h"
#include "../common/interrupt.h"
#include "gates/gate_launchers.h"

namespace ketsim {

namespace {

void require_params(const GateRecord& gate, size_t count, const char* message) {
    if (gate.params.size() != count) throw std::invalid_argument(message);
}

// A target as the launchers take it: an index that does not fit their 32-bit operand is refused
// here rather than narrowed into another qubit.
int32_t narrow_target(int64_t t) {
    if (t < std::numeric_limits<int32_t>::min() || t > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("target qubit index " + std::to_string(t) + " is out of range");
    }
    return static_cast<int32_t>(t);
}

// The first target, -1 when the gate has none (the launcher rejects it after its control checks).
int32_t first_target(const GateRecord& gate) { return gate.targets.empty() ? -1 : narrow_target(gate.targets.front()); }

}  // namespace

template <typename T>
void apply_gate(uint64_t n, CuComplex<T>* state, const GateRecord& gate, KernelMode mode) {
    const std::vector<int64_t> controls = gate.controls;
    const std::vector<int64_t>& control_state = gate.control_state;
    const cudaStream_t stream = nullptr;
    if (gate.id > UNITARY) throw std::invalid_argument("Unsupported gate id");
    switch (static_cast<GateId>(gate.id)) {
        case X: cu_x<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case Y: cu_y<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case Z: cu_z<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case H: cu_h<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case S: cu_s<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case SDAG: cu_sdag<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case SQRTX: cu_sqrtx<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case SQRTXDAG: cu_sqrtxdag<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case SQRTY: cu_sqrty<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case SQRTYDAG: cu_sqrtydag<T>(n, state, first_target(gate), controls, control_state, stream, mode); break;
        case SWAP:
            if (gate.targets.size() != 2) throw std::invalid_argument("SWAP gate requires exactly two parameters.");
            cu_swap<T>(n, state, narrow_target(gate.targets[0]), narrow_target(gate.targets[1]), controls,
                       control_state, stream, mode);
            break;
        case RX:
            require_params(gate, 1, "RX gate requires exactly one parameter.");
            cu_rx<T>(n, state, first_target(gate), controls, control_state, stream, static_cast<T>(gate.params[0]),
                     mode);
            break;
        case RY:
            require_params(gate, 1, "RY gate requires exactly one parameter.");
            cu_ry<T>(n, state, first_target(gate), controls, control_state, stream, static_cast<T>(gate.params[0]),
                     mode);
            break;
        case RZ:
            require_params(gate, 1, "RZ gate requires exactly one parameter.");
            cu_rz<T>(n, state, first_target(gate), controls, control_state, stream, static_cast<T>(gate.params[0]),
                     mode);
            break;
        case PHASE:
            require_params(gate, 1, "PHASE gate requires exactly one parameter.");
            cu_phase<T>(n, state, first_target(gate), controls, control_state, stream,
                        static_cast<T>(gate.params[0]), mode);
            break;
        case GLOBAL_PHASE:
            require_params(gate, 1, "GLOBAL_PHASE gate requires exactly one parameter.");
            cu_global_phase<T>(n, state, controls, control_state, stream, static_cast<T>(gate.params[0]));
            break;
        case U:
            require_params(gate, 3, "U gate requires exactly three parameters.");
            cu_u<T>(n, state, first_target(gate), controls, control_state, stream, static_cast<T>(gate.params[0]),
                    static_cast<T>(gate.params[1]), static_cast<T>(gate.params[2]), mode);
            break;
        case UNITARY:
            cu_unitary<T>(n, state, gate.targets, controls, control_state, gate.matrix, gate.matrix_dim, stream, mode);
            break;
    }
    velloran::check_cuda(cudaGetLastError());
}

template <typename T>
void execute_plan(uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates,
                  const fusion::FusionPlan& plan, const fusion::FusionWorkspace<T>& workspace) {
    for (const fusion::FusionGroup& group : plan.groups) {
        velloran::poll_interrupt();  // between groups: every group before this one is applied whole
        if (group.kind == fusion::AutoPair) {
            apply_gate<T>(n, state, gates.at(group.gate_indices.at(0)), KernelMode::PairAuto);
            continue;
        }
        fusion::run_fused_group<T>(workspace, state, group, nullptr);
        velloran::check_cuda(cudaGetLastError());
    }
}

template <typename T>
void run_gate_list(uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates, KernelMode mode) {
    if (mode == KernelMode::PairAutoFusion) {
        const fusion::FusionPlan plan = fusion::plan_fusion(static_cast<int64_t>(n), gates, fusion::FusionOptions{});
        fusion::FusionWorkspace<T> workspace = fusion::prepare_fusion_workspace<T>(static_cast<int64_t>(n), plan);
        const fusion::FusionWorkspaceScope<T> scope(workspace);
        execute_plan<T>(n, state, gates, plan, workspace);
        return;
    }
    for (const GateRecord& gate : gates) {
        velloran::poll_interrupt();  // between gates: a stopped run leaves whole gates applied
        apply_gate<T>(n, state, gate, mode);
    }
}

template <typename T>
void execute_prepared_chunk(CuComplex<T>* state, uint64_t num_state, int32_t device_id,
                            const fusion::PreparedFusionChunk& chunk) {
    if (chunk.n < 1 || chunk.n > 62 || num_state != (uint64_t{1} << chunk.n)) {
        throw std::invalid_argument("state size does not match prepared chunk");
    }
    velloran::check_cuda(cudaSetDevice(device_id));
    fusion::FusionWorkspace<T> workspace = fusion::prepare_fusion_workspace<T>(chunk.n, chunk.plan);
    const fusion::FusionWorkspaceScope<T> scope(workspace);
    execute_plan<T>(static_cast<uint64_t>(chunk.n), state, chunk.gates, chunk.plan, workspace);
    velloran::check_cuda(cudaStreamSynchronize(nullptr));
}

template <typename T>
void run_gates(uint64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<GateRecord>& gates,
               const std::string&, int32_t device_id, KernelMode mode) {
    if (n > 62 || num_state != (uint64_t{1} << n)) throw std::invalid_argument("state size does not match 2**n");
    velloran::check_cuda(cudaSetDevice(device_id));
    run_gate_list<T>(n, state, gates, mode);
}

template void run_gates<float>(uint64_t, CuComplex<float>*, uint64_t, const std::vector<GateRecord>&,
                               const std::string&, int32_t, KernelMode);
template void run_gates<double>(uint64_t, CuComplex<double>*, uint64_t, const std::vector<GateRecord>&,
                                const std::string&, int32_t, KernelMode);
template void run_gate_list<float>(uint64_t, CuComplex<float>*, const std::vector<GateRecord>&, KernelMode);
template void run_gate_list<double>(uint64_t, CuComplex<double>*, const std::vector<GateRecord>&, KernelMode);
template void apply_gate<float>(uint64_t, CuComplex<float>*, const GateRecord&, KernelMode);
template void apply_gate<double>(uint64_t, CuComplex<double>*, const GateRecord&, KernelMode);
template void execute_plan<float>(uint64_t, CuComplex<float>*, const std::vector<GateRecord>&,
                                  const fusion::FusionPlan&, const fusion::FusionWorkspace<float>&);
template void execute_plan<double>(uint64_t, CuComplex<double>*, const std::vector<GateRecord>&,
                                   const fusion::FusionPlan&, const fusion::FusionWorkspace<double>&);
template void execute_prepared_chunk<float>(CuComplex<float>*, uint64_t, int32_t, const fusion::PreparedFusionChunk&);
template void execute_prepared_chunk<double>(CuComplex<double>*, uint64_t, int32_t,
                                             const fusion::PreparedFusionChunk&);

}  // namespace ketsim
