// Python surface of run_density_operations_device: operations are read with the interpreter lock
// held, then run without it.
#include <pybind11/pybind11.h>

#include "bindings.h"
#include "run_density.h"

namespace py = pybind11;

namespace velloran::rhosim {

namespace {

void run_density_operations_device(DeviceDensityState& state, int64_t num_qubits, const py::iterable& operations) {
    const std::vector<DensityOperation> records = read_operations(operations);
    if (records.empty()) return;
    const python::SignalPolling signals;
    py::gil_scoped_release release;
    run_density_operations(state, num_qubits, records);
}

}  // namespace

void bind_run_density(py::module_& m) {
    m.def("run_density_operations_device", &run_density_operations_device, py::arg("state"), py::arg("num_qubits"),
          py::arg("operations"));
}

}  // namespace velloran::rhosim
