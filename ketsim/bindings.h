// What the binding units of ketsim share: the NumPy state-array checks, the registration functions
// each unit provides to the module, and the construction check of the module's classes.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <memory>
#include <string>

#include "../common/cu_complex.h"
#include "../common/python_guards.h"
#include "fusion/fusion.h"
#include "ketsim_device_state.h"
#include "ketsim_pauli.h"

VELLORAN_CONSTRUCTED_ONLY(ketsim::DeviceState,
                          "DeviceState object is not initialised; create it with DeviceState.from_numpy or "
                          "DeviceState.zero_state")
VELLORAN_CONSTRUCTED_ONLY(ketsim::fusion::PreparedFusionChunk,
                          "PreparedFusionChunk object is not initialised; create it with "
                          "prepare_fusion_chunk_gates")

namespace ketsim {

// "state array must be writable", checked before any other array check.
void check_writable(const pybind11::array& state);

// The NumPy state-array checks, in order: dimensions, C order, n, size, dtype.
void validate_state_array(int64_t n, const pybind11::array& state);
Dtype dtype_of_array(const pybind11::array& state);

// "endian must be 'little' or 'big'".
void check_endian(const std::string& endian);

// A temporary device state holding a copy of `state` (validated as run_circuit and measure do).
std::shared_ptr<DeviceState> upload_checked_array(int64_t n, pybind11::array& state, const std::string& endian,
                                                  const std::string& device, bool use_pinned_host);

// Calls f with a typed pointer to the state's amplitudes: CuComplex<float> or CuComplex<double>.
template <typename F>
decltype(auto) with_precision(DeviceState& state, F&& f) {
    if (state.dtype == Dtype::Complex64) return f(static_cast<CuComplex<float>*>(state.device_ptr()));
    return f(static_cast<CuComplex<double>*>(state.device_ptr()));
}

// Registration, in the module's order: the DeviceState and PreparedFusionChunk classes, then the
// functions.
void bind_device_state(pybind11::module_& m);
void bind_run_circuit_device(pybind11::module_& m);
void bind_prepared_fusion_chunk(pybind11::module_& m);
void bind_prepare_fusion_chunk_gates(pybind11::module_& m);
void bind_execute_prepared_fusion_chunk(pybind11::module_& m);
void bind_run_circuit_device_gates(pybind11::module_& m);
void bind_measure_device(pybind11::module_& m);
void bind_run_circuit(pybind11::module_& m);
void bind_measure(pybind11::module_& m);
void bind_pauli_expectations(pybind11::module_& m);
// The caller's Pauli strings as masks (character j on qubit j), read from a snapshot of the sequence;
// TypeError or ValueError, naming the string, for anything else.
std::vector<PauliTerm> read_pauli_strings(const pybind11::object& paulis, uint64_t n);
// DistributedState, and the entry points above widened to take one too; registered last.
void bind_distributed(pybind11::module_& m);

}  // namespace ketsim
