// Python entry points of fusion: planning a chunk of gate objects on the CPU into a
// PreparedFusionChunk, and executing a prepared chunk on a DeviceState.
#include <memory>
#include <stdexcept>

#include "bindings.h"
#include "fusion/fusion.h"
#include "gate_list.h"
#include "run_circuit.h"

namespace py = pybind11;

namespace ketsim {

namespace {

using fusion::PreparedFusionChunk;

std::shared_ptr<PreparedFusionChunk> prepare_fusion_chunk_gates(int64_t n, const py::object& gates, bool fuse_swap,
                                                                int32_t sparsesharemem_qubits,
                                                                int32_t densemm_min_qubits,
                                                                int32_t densemm_max_qubits,
                                                                double densemm_gate_threshold_scale,
                                                                int32_t max_gates_per_group, bool pad_sparsesharemem) {
    if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
    fusion::FusionOptions options;
    options.sparsesharemem_qubits = sparsesharemem_qubits;
    options.densemm_min_qubits = densemm_min_qubits;
    options.densemm_max_qubits = densemm_max_qubits;
    options.densemm_gate_threshold_scale = densemm_gate_threshold_scale;
    options.max_gates_per_group = max_gates_per_group;
    options.pad_sparsesharemem = pad_sparsesharemem;
    options.fuse_swap = fuse_swap;
    fusion::check_fusion_options(n, options);  // before the gates are read
    auto chunk = std::make_shared<PreparedFusionChunk>();
    chunk->n = n;
    chunk->gates = parse_gate_objects(gates);
    {
        py::gil_scoped_release release;
        chunk->plan = fusion::plan_fusion(n, chunk->gates, options);
        chunk->options = options;
    }
    return chunk;
}

// The chunk is held by this call while it runs, whatever Python does with its object meanwhile.
void execute_prepared_fusion_chunk(DeviceState& state, std::shared_ptr<PreparedFusionChunk> chunk) {
    if (static_cast<int64_t>(state.num_qubits) != chunk->n) {
        throw std::invalid_argument("DeviceState qubit count does not match prepared fusion chunk");
    }
    const velloran::python::SignalPolling signals;
    py::gil_scoped_release release;
    with_precision(state, [&](auto* amplitudes) {
        execute_prepared_chunk(amplitudes, state.num_state, state.device_id, *chunk);
    });
}

}  // namespace

void bind_prepared_fusion_chunk(py::module_& m) {
    py::class_<PreparedFusionChunk, std::shared_ptr<PreparedFusionChunk>>(m, "PreparedFusionChunk")
        .def_property_readonly("n", [](const PreparedFusionChunk& chunk) { return chunk.n; })
        .def_property_readonly("gate_count",
                               [](const PreparedFusionChunk& chunk) { return static_cast<uint64_t>(chunk.gates.size()); });
}

void bind_prepare_fusion_chunk_gates(py::module_& m) {
    m.def("prepare_fusion_chunk_gates", &prepare_fusion_chunk_gates,
          "Parse and plan one streamed chunk on the CPU without launching CUDA.", py::arg("n"), py::arg("gates"),
          py::arg("fuse_swap") = true, py::arg("sparsesharemem_qubits") = 10, py::arg("densemm_min_qubits") = 1,
          py::arg("densemm_max_qubits") = 7, py::arg("densemm_gate_threshold_scale") = 1.0,
          py::arg("max_gates_per_group") = 512, py::arg("pad_sparsesharemem") = true);
}

void bind_execute_prepared_fusion_chunk(py::module_& m) {
    m.def("execute_prepared_fusion_chunk", &execute_prepared_fusion_chunk,
          "Execute one CPU-prepared fusion chunk and wait for its CUDA work.", py::arg("state"),
          py::arg("chunk").none(false));
}

}  // namespace ketsim
