// Parsing of gate chunks from Python (dictionaries or gate objects) into GateRecord lists. Runs
// with the interpreter lock held, before any device work.
#pragma once

#include <pybind11/pybind11.h>

#include <vector>

#include "gate_record.h"

namespace ketsim {

std::vector<GateRecord> parse_gate_ir(const pybind11::list& gate_ir);
std::vector<GateRecord> parse_gate_objects(const pybind11::handle& gates);
void parse_unitary_matrix(const pybind11::handle& value, GateRecord& record);

}  // namespace ketsim
