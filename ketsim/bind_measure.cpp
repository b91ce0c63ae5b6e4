// Python entry points that measure or sample qubits: on a caller-held DeviceState, or on a NumPy
// array through a temporary one that is collapsed and copied back.
#include <pybind11/stl.h>

#include <random>

#include "bindings.h"
#include "ketsim_measure.h"

namespace py = pybind11;

namespace ketsim {

namespace {

// None draws a fresh 32-bit seed; anything else goes through the integer conversion, which
// refuses floats, negative values and values beyond 64 bits.
uint64_t resolve_seed(const py::object& seed) {
    if (seed.is_none()) {
        std::random_device source("default");
        return static_cast<uint64_t>(source());
    }
    return seed.cast<uint64_t>();
}

// The sampling core on the state's precision, with the interpreter lock released.
SampleResult sample_state(DeviceState& state, const std::vector<int64_t>& targets, const std::string& endian,
                          uint64_t shots, uint64_t seed, bool collapse) {
    const velloran::python::SignalPolling signals;
    py::gil_scoped_release release;
    return with_precision(state, [&](auto* amplitudes) {
        return sample_outcomes(static_cast<int64_t>(state.num_qubits), amplitudes, state.num_state, targets, endian,
                               state.device_id, shots, seed, collapse);
    });
}

std::string measure_device(DeviceState& state, const std::vector<int64_t>& targets, const std::string& endian,
                           const py::object& seed) {
    check_endian(endian);
    const uint64_t resolved = resolve_seed(seed);
    return sample_state(state, targets, endian, 1, resolved, true).last_outcome;
}

py::tuple sample_measure_device(DeviceState& state, const std::vector<int64_t>& targets, uint64_t shots,
                                const std::string& endian, const py::object& seed, bool collapse_last) {
    check_endian(endian);
    if (shots == 0) throw std::invalid_argument("shots must be positive");
    const uint64_t resolved = resolve_seed(seed);
    SampleResult result = sample_state(state, targets, endian, shots, resolved, collapse_last);
    return py::make_tuple(py::cast(result.counts), py::str(result.last_outcome));
}

std::string measure(int64_t n, py::array state, const std::vector<int64_t>& targets, const std::string& endian,
                    const std::string& device, bool use_pinned_host) {
    const std::shared_ptr<DeviceState> device_state = upload_checked_array(n, state, endian, device, use_pinned_host);
    const std::string outcome = measure_device(*device_state, targets, endian, py::none());
    // Reached only when the measurement succeeded, so a failure leaves the array as it was.
    device_state->download(state.mutable_data(), static_cast<uint64_t>(state.size()), use_pinned_host);
    return outcome;
}

}  // namespace

void bind_measure_device(py::module_& m) {
    m.def("measure_device", &measure_device, "Measure target qubits on an existing CUDA DeviceState.",
          py::arg("state"), py::arg("targets"), py::arg("endian") = "little", py::arg("seed") = py::none());
    m.def("sample_measure_device", &sample_measure_device,
          "Batch-sample target qubits and optionally collapse to the final outcome.", py::arg("state"),
          py::arg("targets"), py::arg("shots"), py::arg("endian") = "little", py::arg("seed") = py::none(),
          py::arg("collapse_last") = true);
}

void bind_measure(py::module_& m) {
    m.def("measure", &measure,
          "Measure target qubits on CUDA. The numpy state is collapsed in-place and the measured bit string is "
          "returned.",
          py::arg("n"), py::arg("state").noconvert(), py::arg("targets"), py::arg("endian") = "little",
          py::arg("device") = "cuda:0", py::arg("use_pinned_host") = false);
}

}  // namespace ketsim
