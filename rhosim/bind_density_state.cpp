// Python surface of DeviceDensityState: the two factories, the download, the device copy and the
// read-only properties. Arguments are checked with the interpreter lock held; transfers run without.
#include <pybind11/numpy.h>

#include <complex>
#include <memory>
#include <stdexcept>
#include <string>

#include "bindings.h"
#include "rhosim_device_state.h"

namespace py = pybind11;

namespace velloran::rhosim {

uint64_t checked_density_qubits(int64_t n) {
    if (n < 0 || n > static_cast<int64_t>(kMaxDensityQubits)) {
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    }
    return static_cast<uint64_t>(n);
}

namespace {

using StatePtr = std::shared_ptr<DeviceDensityState>;

StatePtr from_numpy(int64_t n, const py::array& state, const std::string& device) {
    const uint64_t qubits = checked_density_qubits(n);
    const py::ssize_t dimension = py::ssize_t{1} << qubits;
    if (state.ndim() != 2 || state.shape(0) != dimension || state.shape(1) != dimension) {
        throw std::invalid_argument("state shape must be (2**n, 2**n)");
    }
    if (!(state.flags() & py::array::c_style)) throw std::invalid_argument("state must be C-contiguous");
    if (!state.writeable()) throw std::invalid_argument("state must be writable");
    const Dtype dtype = parse_dtype(py::str(state.dtype()).cast<std::string>());
    const int32_t device_id = parse_device(device);
    auto result = std::make_shared<DeviceDensityState>(qubits, dtype, device_id);
    const void* host = state.data();
    const uint64_t count = static_cast<uint64_t>(state.size());
    py::gil_scoped_release release;
    result->upload(host, count, false);
    return result;
}

StatePtr zero_state(int64_t n, const std::string& dtype, const std::string& device) {
    const int32_t device_id = parse_device(device);
    const Dtype parsed = parse_dtype(dtype);
    auto result = std::make_shared<DeviceDensityState>(checked_density_qubits(n), parsed, device_id);
    py::gil_scoped_release release;
    result->set_zero_state();
    return result;
}

py::array to_numpy(const DeviceDensityState& self) {
    const auto d = static_cast<py::ssize_t>(self.dimension);
    py::array result = self.dtype == Dtype::Complex64 ? py::array(py::array_t<std::complex<float>>({d, d}))
                                                      : py::array(py::array_t<std::complex<double>>({d, d}));
    void* host = result.mutable_data();
    py::gil_scoped_release release;
    self.download(host, self.num_elements, false);
    return result;
}

StatePtr copy(const DeviceDensityState& self) {
    auto result = std::make_shared<DeviceDensityState>(self.num_qubits, self.dtype, self.device_id);
    py::gil_scoped_release release;
    result->copy_from(self);
    return result;
}

}  // namespace

void bind_density_state(py::module_& m) {
    py::class_<DeviceDensityState, std::shared_ptr<DeviceDensityState>>(m, "DeviceDensityState")
        .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state"), py::arg("device") = "cuda:0")
        .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                    py::arg("device") = "cuda:0")
        .def("to_numpy", &to_numpy)
        .def("copy", &copy)
        .def_property_readonly("num_qubits", [](const DeviceDensityState& s) { return s.num_qubits; })
        .def_property_readonly("dimension", [](const DeviceDensityState& s) { return s.dimension; })
        .def_property_readonly("dtype", [](const DeviceDensityState& s) { return std::string(s.dtype_name()); })
        .def_property_readonly("device_id", [](const DeviceDensityState& s) { return s.device_id; });
}

}  // namespace velloran::rhosim
