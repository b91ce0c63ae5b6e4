// Gate-list parsing: the alias table, T rewriting, and the dictionary and object forms.
#include "gate_list.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <stdexcept>
#include <unordered_map>

#include "../common/python_guards.h"

namespace py = pybind11;

namespace ketsim {

namespace {

constexpr double kQuarterPi = 0.7853981633974483;

// The T family names a fixed phase: its own parameters are replaced.
void rewrite_t_gate(GateRecord& record) {
    const std::string& name = record.name;
    if (name == "t" || name == "ct" || name == "mct") {
        record.name = "phase";
        record.params.assign(1, kQuarterPi);
    } else if (name == "t_dag") {
        record.name = "phase";
        record.params.assign(1, -kQuarterPi);
    }
}

void check_unitary_record(const GateRecord& record) {
    if (!record.has_matrix) throw std::invalid_argument("UNITARY gate requires a matrix.");
    const size_t m = record.targets.size();
    if (m >= 63 || (int64_t{1} << m) != record.matrix_dim) {
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    }
}

void finish_name(GateRecord& record) {
    rewrite_t_gate(record);
    record.id = gate_id_from_name(record.name);
}

}  // namespace

GateId gate_id_from_name(const std::string& name) {
    static const std::unordered_map<std::string, GateId> table = {
        {"x", X},         {"cx", X},           {"mcx", X},     {"y", Y},
        {"cy", Y},        {"mcy", Y},          {"z", Z},       {"cz", Z},
        {"mcz", Z},       {"h", H},            {"ch", H},      {"mch", H},
        {"s", S},         {"cs", S},           {"mcs", S},     {"s_dag", SDAG},
        {"sqrtx", SQRTX}, {"sx", SQRTX},       {"sqrtx_dag", SQRTXDAG}, {"sxdg", SQRTXDAG},
        {"sqrty", SQRTY}, {"sqrty_dag", SQRTYDAG}, {"swap", SWAP}, {"rx", RX},
        {"crx", RX},      {"mcrx", RX},        {"ry", RY},     {"cry", RY},
        {"mcry", RY},     {"rz", RZ},          {"crz", RZ},    {"mcrz", RZ},
        {"phase", PHASE}, {"p", PHASE},        {"cp", PHASE},  {"mcp", PHASE},
        {"gp", GLOBAL_PHASE}, {"global_phase", GLOBAL_PHASE}, {"gphase", GLOBAL_PHASE},
        {"u", U},         {"u1", U},           {"u2", U},      {"u3", U},
        {"unitary", UNITARY},
    };
    const auto it = table.find(name);
    if (it == table.end()) throw std::invalid_argument("Unsupported CUDA gate id: " + name);
    return it->second;
}

void parse_unitary_matrix(const py::handle& value, GateRecord& record) {
    if (value.is_none()) return;
    using ComplexArray = py::array_t<std::complex<double>, py::array::c_style | py::array::forcecast>;
    ComplexArray array;
    try {
        array = ComplexArray::ensure(value);
    } catch (const py::error_already_set&) {
        array = ComplexArray();
    }
    if (!array) {
        PyErr_Clear();
        throw std::invalid_argument("unitary matrix must be array-like.");
    }
    if (array.ndim() != 2 || array.shape(0) != array.shape(1) || array.shape(0) <= 0) {
        throw std::invalid_argument("unitary matrix must be a non-empty square 2-D array.");
    }
    const py::ssize_t d = array.shape(0);
    record.matrix.assign(array.data(), array.data() + d * d);
    record.matrix_dim = d;
    record.has_matrix = true;
}

// Both readers parse a snapshot of the chunk whose items they own: reading an item may run Python
// code (a qubit's __index__, a mapping's keys) that changes or empties the caller's list.
std::vector<GateRecord> parse_gate_ir(const py::list& gate_ir) {
    const std::vector<py::object> items = velloran::python::owned_items(gate_ir);
    std::vector<GateRecord> records;
    records.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        velloran::python::poll_signals_locked(i);
        const py::object& item = items[i];
        py::dict gate = py::isinstance<py::dict>(item) ? py::reinterpret_borrow<py::dict>(item) : py::dict(item);
        GateRecord record;
        record.name = gate["id"].cast<std::string>();
        record.targets = gate["target"].cast<std::vector<int64_t>>();
        record.controls = gate["control"].cast<std::vector<int64_t>>();
        record.control_state = gate["control_state"].cast<std::vector<int64_t>>();
        record.params = gate["parameter"].cast<std::vector<double>>();
        finish_name(record);
        if (gate.contains("matrix")) {
            const py::object matrix = gate["matrix"];
            if (!matrix.is_none()) parse_unitary_matrix(matrix, record);
        }
        if (record.id == UNITARY) check_unitary_record(record);
        records.push_back(std::move(record));
    }
    return records;
}

std::vector<GateRecord> parse_gate_objects(const py::handle& gates) {
    const std::vector<py::object> items = velloran::python::owned_items(gates);
    std::vector<GateRecord> records;
    records.reserve(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        velloran::python::poll_signals_locked(i);
        const py::object& item = items[i];
        GateRecord record;
        record.name = item.attr("id").cast<std::string>();
        record.targets = item.attr("target").cast<std::vector<int64_t>>();
        record.controls = item.attr("control").cast<std::vector<int64_t>>();
        record.control_state = item.attr("control_state").cast<std::vector<int64_t>>();
        const py::object params = item.attr("parameter");
        if (!params.is_none()) record.params = params.cast<std::vector<double>>();
        finish_name(record);
        if (record.id == UNITARY) {
            parse_unitary_matrix(item.attr("matrix"), record);
            check_unitary_record(record);
        }
        records.push_back(std::move(record));
    }
    return records;
}

}  // namespace ketsim
