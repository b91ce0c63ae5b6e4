// The circuit runner: applies a parsed gate list to a device state in list order, one kernel
// launch per gate or, in PairAutoFusion mode, one execution per planned group; without the
// interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../common/cu_complex.h"
#include "fusion/fusion.h"
#include "fusion/fusion_workspace.h"
#include "gate_record.h"

namespace ketsim {

template <typename T>
void run_gates(uint64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<GateRecord>& gates,
               const std::string& endian, int32_t device_id, KernelMode mode);

template <typename T>
void run_gate_list(uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates, KernelMode mode);

template <typename T>
void apply_gate(uint64_t n, CuComplex<T>* state, const GateRecord& gate, KernelMode mode);

// Runs the groups of a plan in order: single gates through apply_gate in PairAuto mode, fused groups
// through the workspace. Queues work only.
template <typename T>
void execute_plan(uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates,
                  const fusion::FusionPlan& plan, const fusion::FusionWorkspace<T>& workspace);

// Runs a prepared chunk on a state of 2^(chunk.n) amplitudes on `device_id` and waits for the device.
template <typename T>
void execute_prepared_chunk(CuComplex<T>* state, uint64_t num_state, int32_t device_id,
                            const fusion::PreparedFusionChunk& chunk);

}  // namespace ketsim
