// Python entry points that run gate chunks: on a caller-held DeviceState, or on a NumPy array
// through a temporary one.
#include <pybind11/stl.h>

#include "bindings.h"
#include "gate_list.h"
#include "run_circuit.h"

namespace py = pybind11;

namespace ketsim {

namespace {

void run_parsed(DeviceState& state, const std::vector<GateRecord>& gates, const std::string& endian,
                KernelMode mode) {
    const velloran::python::SignalPolling signals;
    py::gil_scoped_release release;
    with_precision(state, [&](auto* amplitudes) {
        run_gates(state.num_qubits, amplitudes, state.num_state, gates, endian, state.device_id, mode);
    });
}

void run_circuit_device(DeviceState& state, const py::list& gate_ir, const std::string& endian, KernelMode mode) {
    check_endian(endian);
    const std::vector<GateRecord> gates = parse_gate_ir(gate_ir);
    run_parsed(state, gates, endian, mode);
}

void run_circuit_device_gates(DeviceState& state, const py::object& gates, const std::string& endian,
                              KernelMode mode) {
    check_endian(endian);
    const std::vector<GateRecord> parsed = parse_gate_objects(gates);
    if (parsed.empty()) return;
    run_parsed(state, parsed, endian, mode);
}

py::array run_circuit(int64_t n, py::array state, const py::list& gate_ir, const std::string& endian,
                      const std::string& device, KernelMode mode, bool use_pinned_host) {
    const std::shared_ptr<DeviceState> device_state = upload_checked_array(n, state, endian, device, use_pinned_host);
    run_circuit_device(*device_state, gate_ir, endian, mode);
    device_state->download(state.mutable_data(), static_cast<uint64_t>(state.size()), use_pinned_host);
    return state;
}

}  // namespace

void bind_run_circuit_device(py::module_& m) {
    m.def("run_circuit_device", &run_circuit_device, "Run a gate_ir chunk on an existing CUDA DeviceState.",
          py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
}

void bind_run_circuit(py::module_& m) {
    m.def("run_circuit", &run_circuit,
          "Run a gate_ir chunk on CUDA. The numpy state is modified in-place and returned.", py::arg("n"),
          py::arg("state").noconvert(), py::arg("gate_ir"), py::arg("endian") = "little",
          py::arg("device") = "cuda:0", py::arg("mode") = KernelMode::PairAuto, py::arg("use_pinned_host") = false);
}

void bind_run_circuit_device_gates(py::module_& m) {
    m.def("run_circuit_device_gates", &run_circuit_device_gates,
          "Run a QuantumGate object chunk on an existing CUDA DeviceState.", py::arg("state"), py::arg("gates"),
          py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
}

}  // namespace ketsim
