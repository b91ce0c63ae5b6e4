// The ketsim extension module: the KernelMode enum, the classes and the functions, registered in
// the module's documented order. Each binding unit converts, validates and hands over to the engine.
#include <pybind11/native_enum.h>
#include <pybind11/pybind11.h>

#include "../common/backend.h"
#include "../common/python_guards.h"
#include "bindings.h"
#include "gate_record.h"

namespace py = pybind11;

PYBIND11_MODULE(ketsim, m) {
    m.doc() = "CUDA gate backend for velloran";
    m.attr("__backend__") = VELLORAN_BACKEND_NAME;
    velloran::python::remember_main_thread();

    py::native_enum<ketsim::KernelMode>(m, "KernelMode", "enum.IntEnum")
        .value("AllState", ketsim::KernelMode::AllState)
        .value("Pair", ketsim::KernelMode::Pair)
        .value("PairAuto", ketsim::KernelMode::PairAuto)
        .value("PairAutoFusion", ketsim::KernelMode::PairAutoFusion)
        .export_values()
        .finalize();

    ketsim::bind_device_state(m);
    ketsim::bind_prepared_fusion_chunk(m);
    ketsim::bind_run_circuit_device(m);
    ketsim::bind_prepare_fusion_chunk_gates(m);
    ketsim::bind_execute_prepared_fusion_chunk(m);
    ketsim::bind_run_circuit_device_gates(m);
    ketsim::bind_measure_device(m);
    ketsim::bind_run_circuit(m);
    ketsim::bind_measure(m);
    ketsim::bind_pauli_expectations(m);
    ketsim::bind_distributed(m);
}
