// Python surface of measure_device: the endian and seed arguments are checked with the interpreter
// lock held; the measurement runs without it.
#include <pybind11/stl.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.h"
#include "rhosim_device_state.h"
#include "rhosim_measure.h"

namespace py = pybind11;

namespace velloran::rhosim {

namespace {

std::string measure_device(DeviceDensityState& state, const std::vector<int64_t>& targets, const std::string& endian,
                           const py::object& seed) {
    if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
    uint64_t seed_value = 0;
    if (seed.is_none()) {
        std::random_device source("default");
        seed_value = source();
    } else {
        seed_value = seed.cast<uint64_t>();
    }
    py::gil_scoped_release release;
    if (state.dtype == Dtype::Complex64) {
        return measure_density<float>(state.num_qubits, static_cast<CuComplex<float>*>(state.device_ptr()), targets,
                                      endian, state.device_id, seed_value);
    }
    return measure_density<double>(state.num_qubits, static_cast<CuComplex<double>*>(state.device_ptr()), targets,
                                   endian, state.device_id, seed_value);
}

}  // namespace

void bind_measure_density(py::module_& m) {
    m.def("measure_device", &measure_device, py::arg("state"), py::arg("targets"), py::arg("endian") = "little",
          py::arg("seed") = py::none());
}

}  // namespace velloran::rhosim
