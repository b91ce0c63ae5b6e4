// The operation runner: reads Python operation objects into records (interpreter lock held) and
// applies a list of them to a device density matrix (lock released).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "density_operation.h"
#include "rhosim_device_state.h"

namespace velloran::rhosim {

// Reads every item of `operations` in order; Python errors raised while iterating or reading
// attributes propagate.
std::vector<DensityOperation> read_operations(const pybind11::handle& operations);

// Validates every record, uploads all matrices at once and runs the operations in order, fused when
// VELLORAN_DENSITY_FUSION switches fusion on; waits for the device before returning.
void run_density_operations(DeviceDensityState& state, int64_t num_qubits, const std::vector<DensityOperation>& ops);

// VELLORAN_DENSITY_FUSION is on when set and its first character is neither '0' nor the end.
bool density_fusion_enabled();

}  // namespace velloran::rhosim
