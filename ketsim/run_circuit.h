// The circuit runner: applies a parsed gate list to a device state in list order, one kernel
// launch per gate, without the interpreter lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../common/cu_complex.h"
#include "gate_record.h"

namespace ketsim {

template <typename T>
void run_gates(uint64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<GateRecord>& gates,
               const std::string& endian, int32_t device_id, KernelMode mode);

template <typename T>
void run_gate_list(uint64_t n, CuComplex<T>* state, const std::vector<GateRecord>& gates, KernelMode mode);

template <typename T>
void apply_gate(uint64_t n, CuComplex<T>* state, const GateRecord& gate, KernelMode mode);

}  // namespace ketsim
