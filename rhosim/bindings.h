// What the binding units of rhosim share: the registration function each unit provides, the
// checked conversion of a Python qubit count, and the construction check of DeviceDensityState.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>

#include "../common/python_guards.h"
#include "rhosim_device_state.h"

VELLORAN_CONSTRUCTED_ONLY(velloran::rhosim::DeviceDensityState,
                          "DeviceDensityState object is not initialised; create it with "
                          "DeviceDensityState.from_numpy or DeviceDensityState.zero_state")

namespace velloran::rhosim {

// n as a qubit count of a density matrix; outside [0, 15] it is refused with the module's message.
uint64_t checked_density_qubits(int64_t n);

// Registration, in the module's order: the DeviceDensityState class, then the functions.
void bind_density_state(pybind11::module_& m);
void bind_run_density(pybind11::module_& m);
void bind_measure_density(pybind11::module_& m);

}  // namespace velloran::rhosim
