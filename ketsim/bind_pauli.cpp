// Python entry point for Pauli expectation values on a caller-held DeviceState: reads the Pauli
// strings into qubit masks, refuses bad ones before any device work, and sums them on the device.
#include <pybind11/numpy.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "bindings.h"
#include "ketsim_pauli.h"

namespace py = pybind11;

namespace ketsim {

namespace {

std::string qubits_text(uint64_t n) { return std::to_string(n) + (n == 1 ? " qubit" : " qubits"); }

// The Python repr of one character, so that spaces, quotes and control characters read unambiguously.
std::string character_repr(Py_UCS4 c) {
    const py::str text = py::reinterpret_steal<py::str>(PyUnicode_FromOrdinal(static_cast<int>(c)));
    if (!text) throw py::error_already_set();
    return py::repr(text).cast<std::string>();
}

// Item `index` of the caller's list as flip and phase masks: character j acts on qubit j.
PauliTerm parse_pauli(const py::handle& item, size_t index, uint64_t n) {
    const std::string name = "Pauli string " + std::to_string(index);
    if (!PyUnicode_Check(item.ptr())) {
        throw py::type_error(name + " must be a str, not " + Py_TYPE(item.ptr())->tp_name);
    }
    const Py_ssize_t length = PyUnicode_GetLength(item.ptr());
    if (length < 0) throw py::error_already_set();
    if (static_cast<uint64_t>(length) != n) {
        throw std::invalid_argument(name + " has length " + std::to_string(length) + "; the state has " +
                                    qubits_text(n));
    }
    PauliTerm term;
    for (Py_ssize_t j = 0; j < length; ++j) {
        const Py_UCS4 c = PyUnicode_ReadChar(item.ptr(), j);
        const uint64_t bit = uint64_t{1} << j;
        switch (c) {
            case 'I': break;
            case 'X': term.flip |= bit; break;
            case 'Y': term.flip |= bit; term.phase |= bit; break;
            case 'Z': term.phase |= bit; break;
            default:
                throw std::invalid_argument(name + " has character " + character_repr(c) + " at position " +
                                            std::to_string(j) + "; only 'I', 'X', 'Y' and 'Z' are allowed");
        }
    }
    return term;
}

}  // namespace

std::vector<PauliTerm> read_pauli_strings(const py::object& paulis, uint64_t n) {
    // A lone string would be read as one-character strings.
    if (PyUnicode_Check(paulis.ptr())) {
        throw py::type_error("paulis must be a sequence of Pauli strings, not a single str");
    }
    // Our own references to the items as they were at the call: a callback made while the iterable
    // is read may change it, but never what is parsed.
    const std::vector<py::object> items = velloran::python::owned_items(paulis);
    std::vector<PauliTerm> terms;
    terms.reserve(items.size());
    for (size_t k = 0; k < items.size(); ++k) terms.push_back(parse_pauli(items[k], k, n));
    return terms;
}

namespace {

py::array_t<double> pauli_expectations_device(DeviceState& state, const py::object& paulis) {
    const std::vector<PauliTerm> terms = read_pauli_strings(paulis, state.num_qubits);
    py::array_t<double> out(static_cast<py::ssize_t>(terms.size()));
    if (terms.empty()) return out;
    std::vector<double> values;
    {
        const velloran::python::SignalPolling signals;
        py::gil_scoped_release release;
        values = with_precision(state, [&](auto* amplitudes) {
            return pauli_expectations(static_cast<int64_t>(state.num_qubits), amplitudes, state.num_state, terms,
                                      state.device_id);
        });
    }
    std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(double));
    return out;
}

}  // namespace

void bind_pauli_expectations(py::module_& m) {
    m.def("pauli_expectations", &pauli_expectations_device,
          "Exact expectation values of Pauli strings on a DeviceState, computed without copying the state out.\n"
          "Character j of each string (one of I, X, Y, Z) acts on qubit j, bit j of the amplitude index.",
          py::arg("state"), py::arg("paulis"));
}

}  // namespace ketsim
