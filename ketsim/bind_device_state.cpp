// Python surface of DeviceState, and the NumPy state-array checks the module functions share.
#include <pybind11/numpy.h>

#include <stdexcept>

#include "../common/cu_complex.h"
#include "bindings.h"

namespace py = pybind11;

namespace ketsim {

void check_writable(const py::array& state) {
    if (!state.writeable()) throw std::invalid_argument("state array must be writable");
}

namespace {

// The shape checks; run_circuit and measure take the dtype only after the endian and device texts.
void validate_state_shape(int64_t n, const py::array& state) {
    const py::buffer_info view = state.request();
    if (view.ndim != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
    if (!(state.flags() & py::array::c_style)) throw std::invalid_argument("state must be C-contiguous");
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    if (static_cast<uint64_t>(view.size) != (uint64_t{1} << n)) {
        throw std::invalid_argument("state.size must equal 2**n");
    }
}

}  // namespace

void validate_state_array(int64_t n, const py::array& state) {
    validate_state_shape(n, state);
    (void)dtype_of_array(state);
}

Dtype dtype_of_array(const py::array& state) { return velloran::parse_dtype(py::str(state.dtype()).cast<std::string>()); }

void check_endian(const std::string& endian) {
    if (endian != "little" && endian != "big") throw std::invalid_argument("endian must be 'little' or 'big'");
}

std::shared_ptr<DeviceState> upload_checked_array(int64_t n, py::array& state, const std::string& endian,
                                                  const std::string& device, bool use_pinned_host) {
    check_writable(state);
    validate_state_shape(n, state);
    check_endian(endian);
    const int32_t device_id = velloran::parse_device(device);
    const Dtype dtype = dtype_of_array(state);
    auto device_state = std::make_shared<DeviceState>(static_cast<uint64_t>(n), dtype, device_id);
    device_state->upload(state.data(), static_cast<uint64_t>(state.size()), use_pinned_host);
    return device_state;
}

namespace {

std::shared_ptr<DeviceState> from_numpy(int64_t n, const py::array& state, const std::string& device,
                                        bool use_pinned_host) {
    validate_state_array(n, state);
    const int32_t device_id = velloran::parse_device(device);
    const Dtype dtype = dtype_of_array(state);
    auto result = std::make_shared<DeviceState>(static_cast<uint64_t>(n), dtype, device_id);
    const py::buffer_info view = state.request();
    {
        py::gil_scoped_release release;
        result->upload(view.ptr, static_cast<uint64_t>(view.size), use_pinned_host);
    }
    return result;
}

std::shared_ptr<DeviceState> zero_state(int64_t n, const std::string& dtype, const std::string& device) {
    const int32_t device_id = velloran::parse_device(device);
    const Dtype parsed = velloran::parse_dtype(dtype);
    auto result = std::make_shared<DeviceState>(static_cast<uint64_t>(n), parsed, device_id);
    {
        py::gil_scoped_release release;
        result->set_zero_state();
    }
    return result;
}

py::array to_numpy(const DeviceState& self, bool use_pinned_host) {
    py::array result = self.dtype == Dtype::Complex64
                           ? py::array(py::array_t<std::complex<float>>(static_cast<py::ssize_t>(self.num_state)))
                           : py::array(py::array_t<std::complex<double>>(static_cast<py::ssize_t>(self.num_state)));
    void* host = result.mutable_data();
    {
        py::gil_scoped_release release;
        self.download(host, self.num_state, use_pinned_host);
    }
    return result;
}

void copy_to_numpy(const DeviceState& self, py::array& state, bool use_pinned_host) {
    check_writable(state);
    validate_state_array(static_cast<int64_t>(self.num_qubits), state);
    if (dtype_of_array(state) != self.dtype) throw std::invalid_argument("numpy state dtype does not match DeviceState");
    void* host = state.mutable_data();
    const uint64_t count = static_cast<uint64_t>(state.size());
    py::gil_scoped_release release;
    self.download(host, count, use_pinned_host);
}

}  // namespace

void bind_device_state(py::module_& m) {
    py::class_<DeviceState, std::shared_ptr<DeviceState>>(m, "DeviceState")
        .def_static("from_numpy", &from_numpy, py::arg("n"), py::arg("state").noconvert(),
                    py::arg("device") = "cuda:0", py::arg("use_pinned_host") = false)
        .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                    py::arg("device") = "cuda:0")
        .def("to_numpy", &to_numpy, py::arg("use_pinned_host") = false)
        .def("copy_to_numpy", &copy_to_numpy, py::arg("state").noconvert(), py::arg("use_pinned_host") = false)
        .def_property_readonly("n", [](const DeviceState& s) { return s.num_qubits; })
        .def_property_readonly("num_state", [](const DeviceState& s) { return s.num_state; })
        .def_property_readonly("device_id", [](const DeviceState& s) { return s.device_id; })
        .def_property_readonly("dtype", [](const DeviceState& s) { return std::string(s.dtype_name()); });
}

}  // namespace ketsim
