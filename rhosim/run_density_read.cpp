// Reading density operation objects by attribute: the Kraus form (objects with `operation_kind`) and
// the gate form, with their arrays converted to C-ordered complex128.
#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <string>

#include "../common/python_guards.h"
#include "run_density.h"

namespace py = pybind11;

namespace velloran::rhosim {

namespace {

using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;

// NumPy's own error surfaces when the value cannot be converted.
ComplexArray as_complex_array(const py::object& value) { return ComplexArray(value); }

void read_kraus(const py::handle& item, DensityOperation& op) {
    const std::string kind = py::str(item.attr("operation_kind"));
    if (kind != "kraus") throw std::runtime_error("unsupported density operation kind '" + kind + "'");
    op.is_kraus = true;
    op.targets = item.attr("target").cast<std::vector<int64_t>>();
    if (py::hasattr(item, "channel_name")) {
        // None names no channel: the set is then a general Kraus channel.
        const py::object name = item.attr("channel_name");
        if (!name.is_none()) op.channel_name = name.cast<std::string>();
    }
    const ComplexArray matrices = as_complex_array(item.attr("kraus_matrices"));
    if (matrices.ndim() != 3 || matrices.shape(0) < 1 || matrices.shape(1) < 1 ||
        matrices.shape(1) != matrices.shape(2)) {
        throw std::runtime_error("Kraus matrices must have shape (count, dimension, dimension)");
    }
    op.kraus_count = matrices.shape(0);
    op.kraus_dimension = matrices.shape(1);
    op.kraus_matrices.assign(matrices.data(), matrices.data() + matrices.size());
}

void read_gate(const py::handle& item, DensityOperation& op) {
    op.name = item.attr("id").cast<std::string>();
    op.targets = item.attr("target").cast<std::vector<int64_t>>();
    op.controls = item.attr("control").cast<std::vector<int64_t>>();
    op.control_state = item.attr("control_state").cast<std::vector<int64_t>>();
    const py::object parameters = item.attr("parameter");
    if (!parameters.is_none()) op.parameters = parameters.cast<std::vector<double>>();
    op.has_matrix = item.attr("has_stored_matrix").cast<bool>();
    if (!op.has_matrix) return;
    const ComplexArray matrix = as_complex_array(item.attr("stored_matrix"));
    if (matrix.ndim() != 2 || matrix.shape(0) != matrix.shape(1)) {
        throw std::runtime_error("operation matrix must be square");
    }
    op.matrix.assign(matrix.data(), matrix.data() + matrix.size());
}

}  // namespace

std::vector<DensityOperation> read_operations(const py::handle& operations) {
    // A snapshot whose items we own: reading an operation may run Python code that changes the list.
    const std::vector<py::object> items = velloran::python::owned_items(operations);
    std::vector<DensityOperation> records;
    records.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        velloran::python::poll_signals_locked(i);
        const py::object& item = items[i];
        DensityOperation op;
        if (py::hasattr(item, "operation_kind")) {
            read_kraus(item, op);
        } else {
            read_gate(item, op);
        }
        records.push_back(std::move(op));
    }
    return records;
}

}  // namespace velloran::rhosim
