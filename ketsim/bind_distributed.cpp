// Python surface of DistributedState: the mpi4py communicator behind the engine's collective
// operations, the class, and the DeviceState entry points widened to take one as well. Nothing here
// needs MPI at build time; mpi4py is imported when the first such state is made.
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "../distributed/distributed_pauli.h"
#include "../distributed/distributed_runner.h"
#include "../distributed/distributed_state.h"
#include "bindings.h"
#include "gate_list.h"

using ketsim::distributed::DistributedState;

VELLORAN_CONSTRUCTED_ONLY(ketsim::distributed::DistributedState,
                          "DistributedState object is not initialised; create it with DistributedState.from_numpy or "
                          "DistributedState.zero_state")

namespace py = pybind11;

namespace ketsim {

namespace {

using distributed::run_agreed;

constexpr int kExchangeTag = 7411;

// Whether the MPI library in this process reads GPU memory: MPIX_Query_cuda_support() (exported by
// Open MPI, MPICH and the libraries built from them), looked up in the loaded libraries since
// mpi4py loads its MPI privately. False where no loaded library has the function. Needs MPI
// initialised (mpi4py does that on import).
bool query_mpi_library() {
    std::vector<std::string> loaded;
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* names) {
            if (info->dlpi_name != nullptr && info->dlpi_name[0] != '\0') {
                static_cast<std::vector<std::string>*>(names)->emplace_back(info->dlpi_name);
            }
            return 0;
        },
        &loaded);
    // Looked up after the walk: the loader's list is not to be changed or locked again inside it.
    for (const std::string& name : loaded) {
        void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
        if (handle == nullptr) continue;
        using Query = int (*)();
        auto query = reinterpret_cast<Query>(dlsym(handle, "MPIX_Query_cuda_support"));
        const bool reads = query != nullptr && query() == 1;
        dlclose(handle);
        if (query != nullptr) return reads;
    }
    return false;
}

// The library's answer, asked once per process.
bool mpi_library_reads_cuda_memory() {
    static const bool reads = query_mpi_library();
    return reads;
}

// VELLORAN_MPI_DEVICE_BUFFERS: "1" says the library reads device memory (CUDA-aware MPI that does
// not answer the query), "0" stages every message through host memory; unset or empty, the library
// is asked. Anything else leaves `error` set.
distributed::DeviceBuffers device_buffer_setting(std::string& error) {
    const char* text = std::getenv("VELLORAN_MPI_DEVICE_BUFFERS");
    const std::string value = text == nullptr ? std::string() : std::string(text);
    if (value == "1") return distributed::DeviceBuffers::Accepted;
    if (value == "0") return distributed::DeviceBuffers::Staged;
    if (!value.empty()) error = "VELLORAN_MPI_DEVICE_BUFFERS must be 0 or 1 (or unset), not '" + value + "'";
    return mpi_library_reads_cuda_memory() ? distributed::DeviceBuffers::Accepted
                                           : distributed::DeviceBuffers::HostOnly;
}

// The engine's collectives as calls on an mpi4py communicator, each with the interpreter lock
// taken for the call (the engine itself runs without it). Buffers are passed as memoryviews over
// the engine's memory, so nothing is copied on the way.
class MpiCommunicator final : public distributed::Communicator {
public:
    MpiCommunicator(py::object mpi, py::object comm) : mpi_(std::move(mpi)), comm_(std::move(comm)) {
        rank_ = comm_.attr("Get_rank")().cast<int>();
        size_ = comm_.attr("Get_size")().cast<int>();
        py::object node = comm_.attr("Split_type")(mpi_.attr("COMM_TYPE_SHARED"));
        node_rank_ = node.attr("Get_rank")().cast<int>();
        node.attr("Free")();
        device_buffers_ = device_buffer_setting(setting_error_);
    }
    ~MpiCommunicator() override {
        py::gil_scoped_acquire gil;
        comm_ = py::object();
        mpi_ = py::object();
    }

    int rank() const override { return rank_; }
    int size() const override { return size_; }
    int node_rank() const override { return node_rank_; }
    distributed::DeviceBuffers device_buffers() const override { return device_buffers_; }
    // Throws std::invalid_argument for a bad setting read at construction; called where every rank
    // agrees on failures, so a setting wrong on one rank only raises on all of them.
    void check_settings() const {
        if (!setting_error_.empty()) throw std::invalid_argument(setting_error_);
    }

    void sendrecv(const void* send, void* receive, size_t bytes, int partner) override {
        py::gil_scoped_acquire gil;
        comm_.attr("Sendrecv")(bytes_spec(const_cast<void*>(send), bytes), py::arg("dest") = partner,
                               py::arg("sendtag") = kExchangeTag, py::arg("recvbuf") = bytes_spec(receive, bytes),
                               py::arg("source") = partner, py::arg("recvtag") = kExchangeTag);
    }
    void allreduce_sum(double* data, size_t count) override {
        py::gil_scoped_acquire gil;
        py::list spec;
        spec.append(py::memoryview::from_buffer(data, {static_cast<py::ssize_t>(count)},
                                                {static_cast<py::ssize_t>(sizeof(double))}));
        spec.append(mpi_.attr("DOUBLE"));
        comm_.attr("Allreduce")(mpi_.attr("IN_PLACE"), spec, py::arg("op") = mpi_.attr("SUM"));
    }
    void broadcast(void* buffer, size_t bytes, int root) override {
        py::gil_scoped_acquire gil;
        comm_.attr("Bcast")(bytes_spec(buffer, bytes), py::arg("root") = root);
    }
    void allgather(const void* send, size_t bytes, void* recv) override {
        py::gil_scoped_acquire gil;
        comm_.attr("Allgather")(bytes_spec(const_cast<void*>(send), bytes),
                                bytes_spec(recv, bytes * static_cast<size_t>(size_)));
    }
    bool any(bool flag) override {
        py::gil_scoped_acquire gil;
        return comm_.attr("allreduce")(flag ? 1 : 0, py::arg("op") = mpi_.attr("MAX")).cast<int>() != 0;
    }

    py::object comm() const { return comm_; }

private:
    py::list bytes_spec(void* buffer, size_t bytes) const {
        py::list spec;
        spec.append(py::memoryview::from_memory(buffer, static_cast<py::ssize_t>(bytes), false));
        spec.append(mpi_.attr("BYTE"));
        return spec;
    }

    py::object mpi_;
    py::object comm_;
    int rank_ = 0;
    int size_ = 1;
    int node_rank_ = 0;
    distributed::DeviceBuffers device_buffers_ = distributed::DeviceBuffers::HostOnly;
    std::string setting_error_;
};

// The communicator argument: None for MPI.COMM_WORLD, else an mpi4py intracommunicator.
std::shared_ptr<MpiCommunicator> communicator(const py::object& comm) {
    py::object mpi;
    try {
        mpi = py::module_::import("mpi4py.MPI");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        throw py::import_error("DistributedState needs mpi4py and an MPI library (pip install 'velloran-gpu[mpi]' "
                               "or scripts/setup_mpi.sh): " + std::string(e.what()));
    }
    py::object chosen = comm.is_none() ? mpi.attr("COMM_WORLD") : comm;
    if (!py::isinstance(chosen, mpi.attr("Intracomm"))) {
        throw py::type_error("comm must be an mpi4py intracommunicator (for example MPI.COMM_WORLD)");
    }
    return std::make_shared<MpiCommunicator>(mpi, chosen);
}

// cuda: the node-local rank modulo the visible devices; host: the one host device.
int32_t rank_device(const distributed::Communicator& comm) {
    int count = 0;
    if (cudaGetDeviceCount(&count) != cudaSuccess || count < 1) {
        (void)cudaGetLastError();
        return 0;
    }
    return comm.node_rank() % count;
}

// Makes every rank's part; a failure on any rank (a refused size, memory) raises on all of them.
std::shared_ptr<DistributedState> make_state(uint64_t n, Dtype dtype, const std::shared_ptr<MpiCommunicator>& comm) {
    std::shared_ptr<DistributedState> state;
    run_agreed(*comm, [&] {
        comm->check_settings();
        distributed::global_qubit_count(n, comm->size());
        state = std::make_shared<DistributedState>(n, dtype, comm, rank_device(*comm));
    });
    return state;
}

std::shared_ptr<DistributedState> zero_state(int64_t n, const std::string& dtype, const py::object& comm) {
    const std::shared_ptr<MpiCommunicator> mpi = communicator(comm);
    Dtype parsed = Dtype::Complex128;
    uint64_t qubits = 0;
    run_agreed(*mpi, [&] {
        parsed = velloran::parse_dtype(dtype);
        if (n < 1 || n > 62) throw std::invalid_argument("n must be in [1, 62]");
        qubits = static_cast<uint64_t>(n);
    });
    std::shared_ptr<DistributedState> state = make_state(qubits, parsed, mpi);
    run_agreed(*mpi, [&] {
        py::gil_scoped_release release;
        state->set_zero_state();
    });
    return state;
}

std::shared_ptr<DistributedState> from_numpy(const py::array& array, const py::object& comm) {
    const std::shared_ptr<MpiCommunicator> mpi = communicator(comm);
    uint64_t n = 0;
    Dtype dtype = Dtype::Complex128;
    run_agreed(*mpi, [&] {
        if (array.ndim() != 1) throw std::invalid_argument("state must be a 1-D contiguous numpy array");
        const uint64_t size = static_cast<uint64_t>(array.size());
        if (size < 2 || (size & (size - 1)) != 0) throw std::invalid_argument("state.size must equal 2**n");
        while ((uint64_t{1} << n) < size) ++n;
        validate_state_array(static_cast<int64_t>(n), array);
        dtype = dtype_of_array(array);
    });
    std::shared_ptr<DistributedState> state = make_state(n, dtype, mpi);
    const void* data = array.data();
    run_agreed(*mpi, [&] {
        py::gil_scoped_release release;
        state->upload_slice(data);
    });
    return state;
}

py::array to_numpy(DistributedState& self) {
    py::array result;
    run_agreed(*self.comm, [&] {
        if (self.num_qubits > 30) {
            throw std::invalid_argument("DistributedState.to_numpy gathers the whole state on every rank and is "
                                        "limited to 30 qubits, got " + std::to_string(self.num_qubits));
        }
        // Made here, where a rank short of memory raises on every rank rather than alone.
        const py::ssize_t total = static_cast<py::ssize_t>(uint64_t{1} << self.num_qubits);
        result = self.dtype() == Dtype::Complex64 ? py::array(py::array_t<std::complex<float>>(total))
                                                  : py::array(py::array_t<std::complex<double>>(total));
    });
    void* out = result.mutable_data();
    run_agreed(*self.comm, [&] {
        py::gil_scoped_release release;
        self.gather_logical(out);
    });
    return result;
}

// ---- the DeviceState entry points ---------------------------------------------------------------

void run_validated(DistributedState& state, const std::vector<GateRecord>& gates, KernelMode mode,
                   const fusion::FusionOptions& options) {
    const velloran::python::SignalPolling signals;
    py::gil_scoped_release release;
    distributed::run_distributed(state, gates, mode, options);
}

void run_circuit_device(DistributedState& state, const py::list& gate_ir, const std::string& endian, KernelMode mode) {
    std::vector<GateRecord> gates;
    run_agreed(*state.comm, [&] {
        check_endian(endian);
        gates = parse_gate_ir(gate_ir);
        distributed::validate_distributed_gates(state, gates);
    });
    run_validated(state, gates, mode, fusion::FusionOptions{});
}

void run_circuit_device_gates(DistributedState& state, const py::object& gates, const std::string& endian,
                              KernelMode mode) {
    std::vector<GateRecord> parsed;
    run_agreed(*state.comm, [&] {
        check_endian(endian);
        parsed = parse_gate_objects(gates);
        distributed::validate_distributed_gates(state, parsed);
    });
    if (parsed.empty()) return;
    run_validated(state, parsed, mode, fusion::FusionOptions{});
}

void execute_prepared_fusion_chunk(DistributedState& state, std::shared_ptr<fusion::PreparedFusionChunk> chunk) {
    run_agreed(*state.comm, [&] {
        if (static_cast<int64_t>(state.num_qubits) != chunk->n) {
            throw std::invalid_argument("DistributedState qubit count does not match prepared fusion chunk");
        }
        distributed::validate_distributed_gates(state, chunk->gates);
    });
    run_validated(state, chunk->gates, KernelMode::PairAutoFusion, chunk->options);
}

// None draws rank 0's fresh seed for every rank; anything else goes through the integer conversion.
uint64_t agreed_seed(DistributedState& state, const py::object& seed) {
    uint64_t value = 0;
    run_agreed(*state.comm, [&] {
        if (seed.is_none()) {
            std::random_device source("default");
            value = static_cast<uint64_t>(source());
        } else {
            value = seed.cast<uint64_t>();
        }
    });
    if (seed.is_none()) state.comm->broadcast(&value, sizeof value, 0);
    return value;
}

SampleResult sample_state(DistributedState& state, const std::vector<int64_t>& targets, const std::string& endian,
                          uint64_t shots, uint64_t seed, bool collapse) {
    run_agreed(*state.comm, [&] {
        // The checks the sampling makes, agreed before its first collective.
        if (targets.empty() || targets.size() > 62) throw std::invalid_argument("measure targets size must be in [1, 62]");
        uint64_t seen = 0;
        for (const int64_t t : targets) {
            if (t < 0 || static_cast<uint64_t>(t) >= state.num_qubits) {
                throw std::invalid_argument("measure target index out of range");
            }
            const uint64_t bit = uint64_t{1} << t;
            if (seen & bit) throw std::invalid_argument("duplicate measure target index");
            seen |= bit;
        }
    });
    const velloran::python::SignalPolling signals;
    py::gil_scoped_release release;
    return distributed::sample_distributed(state, targets, endian, shots, seed, collapse);
}

std::string measure_device(DistributedState& state, const std::vector<int64_t>& targets, const std::string& endian,
                           const py::object& seed) {
    run_agreed(*state.comm, [&] { check_endian(endian); });
    const uint64_t resolved = agreed_seed(state, seed);
    return sample_state(state, targets, endian, 1, resolved, true).last_outcome;
}

py::tuple sample_measure_device(DistributedState& state, const std::vector<int64_t>& targets, uint64_t shots,
                                const std::string& endian, const py::object& seed, bool collapse_last) {
    run_agreed(*state.comm, [&] {
        check_endian(endian);
        if (shots == 0) throw std::invalid_argument("shots must be positive");
    });
    const uint64_t resolved = agreed_seed(state, seed);
    SampleResult result = sample_state(state, targets, endian, shots, resolved, collapse_last);
    return py::make_tuple(py::cast(result.counts), py::str(result.last_outcome));
}

// ---- Pauli strings: read as for a DeviceState, with the same messages --------------------------------

py::array_t<double> pauli_expectations_distributed(DistributedState& state, const py::object& paulis) {
    std::vector<PauliTerm> terms;
    run_agreed(*state.comm, [&] { terms = read_pauli_strings(paulis, state.num_qubits); });
    py::array_t<double> out(static_cast<py::ssize_t>(terms.size()));
    if (terms.empty()) return out;
    std::vector<double> values;
    {
        const velloran::python::SignalPolling signals;
        py::gil_scoped_release release;
        values = distributed::distributed_pauli_expectations(state, terms);
    }
    std::memcpy(out.mutable_data(), values.data(), values.size() * sizeof(double));
    return out;
}

// The state parameter of the entry points: any object, shown as the two state classes.
using StateArg = py::typing::Union<DeviceState, DistributedState>;

// A DistributedState or an instance of a subclass, by its real type (a __class__ attribute does not
// count); what the DistributedState path then converts and checks.
bool is_distributed(const py::handle& state) {
    const py::handle type = py::type::of<DistributedState>();
    return PyType_IsSubtype(Py_TYPE(state.ptr()), reinterpret_cast<PyTypeObject*>(type.ptr())) != 0;
}

// The call's own function: `body` with the function as registered before bound to its first
// parameter (its other parameters are the new function's).
template <typename Body, typename R, typename... Args>
auto with_original(py::object original, Body body, R (Body::*)(const py::object&, Args...) const) {
    return [original = std::move(original), body](Args... args) -> R {
        return body(original, std::forward<Args>(args)...);
    };
}

// Replaces module function `name` by `body`, which receives the function as it was registered
// (for every state that is not a DistributedState) before the call's own arguments. The new
// function takes the old one's place in the module and keeps its docstring.
template <typename Body, typename... Extra>
void route(py::module_& m, const char* name, Body body, const Extra&... extra) {
    py::object original = m.attr(name);
    const std::string text = py::str(original.attr("__doc__")).cast<std::string>();
    const size_t blank = text.find("\n\n");
    std::string doc = blank == std::string::npos ? std::string() : text.substr(blank + 2);
    while (!doc.empty() && doc.back() == '\n') doc.pop_back();
    m.attr(name) = py::cpp_function(with_original(std::move(original), body, &Body::operator()), py::name(name),
                                    py::scope(m), py::sibling(py::none()), py::doc(doc.c_str()), extra...);
}

}  // namespace

void bind_distributed(py::module_& m) {
    py::class_<DistributedState, std::shared_ptr<DistributedState>>(
        m, "DistributedState",
        "A state vector split over the 2**g ranks of an MPI communicator (mpi4py) by its top g index bits.\n\n"
        "Every method and every function that takes one is collective: each rank calls it with the same\n"
        "arguments, results are returned on every rank, and a failure on any rank raises on all of them.\n"
        "Gates on global qubits are made local by pairwise exchanges between ranks; the qubit order seen\n"
        "by the caller (to_numpy, measurement) never changes. PairAutoFusion plans each run of local gates\n"
        "on the rank's own layout (a prepared chunk again, with the options it was prepared with).\n"
        "Make one collective call at a time per communicator (not from several threads at once).")
        .def_static("zero_state", &zero_state, py::arg("n"), py::arg("dtype") = "complex128",
                    py::arg("comm") = py::none(), "|0...0> on n qubits over the communicator's ranks.")
        .def_static("from_numpy", &from_numpy, py::arg("array").noconvert(), py::arg("comm") = py::none(),
                    "Each rank keeps its slice of the full state array that every rank passes.")
        .def("to_numpy", &to_numpy, "The full state in qubit order on every rank (up to 30 qubits).")
        .def_property_readonly("n", [](const DistributedState& s) { return s.num_qubits; })
        .def_property_readonly("dtype", [](const DistributedState& s) { return std::string(s.local.dtype_name()); })
        .def_property_readonly("num_ranks", [](const DistributedState& s) { return s.num_ranks; })
        .def_property_readonly("rank", [](const DistributedState& s) { return s.rank; })
        .def_property_readonly("local_qubits", [](const DistributedState& s) { return s.local_qubits; })
        .def_property_readonly("global_qubits", [](const DistributedState& s) { return s.global_qubits; })
        .def_property_readonly("device_id", [](const DistributedState& s) { return s.local.device_id; })
        .def_property_readonly("qubit_map", [](const DistributedState& s) { return s.physical; },
                               "Bit position of each qubit: below local_qubits in the rank's slice, above in the rank.")
        .def_property_readonly(
            "exchange_path",
            [](const DistributedState& s) {
                return std::string(distributed::sends_device_memory(*s.comm) ? "device" : "staged");
            },
            "How exchanges move amplitudes: 'device' (messages straight from the device memory: CUDA-aware\n"
            "MPI, or the host backend) or 'staged' (through page-locked host buffers); see\n"
            "VELLORAN_MPI_DEVICE_BUFFERS.")
        .def_property_readonly("exchange_count", [](const DistributedState& s) { return s.exchanges; },
                               "Pairwise exchanges made so far.")
        .def_property_readonly("exchanged_bytes", [](const DistributedState& s) { return s.exchanged_bytes; },
                               "Bytes this rank has sent in exchanges so far.");

    // Each entry point keeps its name, place, parameters, defaults and docstring; its state
    // parameter now takes either kind, and a DeviceState (or anything else) goes to the function as
    // registered before, with its own checks and messages.
    route(m, "run_circuit_device",
          [](const py::object& original, const StateArg& state, const py::list& gate_ir, const std::string& endian,
             KernelMode mode) {
              if (!is_distributed(state)) {
                  original(state, gate_ir, endian, mode);
                  return;
              }
              run_circuit_device(state.cast<DistributedState&>(), gate_ir, endian, mode);
          },
          py::arg("state"), py::arg("gate_ir"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
    route(m, "execute_prepared_fusion_chunk",
          [](const py::object& original, const StateArg& state,
             std::shared_ptr<fusion::PreparedFusionChunk> chunk) {
              if (!is_distributed(state)) {
                  original(state, chunk);
                  return;
              }
              execute_prepared_fusion_chunk(state.cast<DistributedState&>(), std::move(chunk));
          },
          py::arg("state"), py::arg("chunk").none(false));
    route(m, "run_circuit_device_gates",
          [](const py::object& original, const StateArg& state, const py::object& gates, const std::string& endian,
             KernelMode mode) {
              if (!is_distributed(state)) {
                  original(state, gates, endian, mode);
                  return;
              }
              run_circuit_device_gates(state.cast<DistributedState&>(), gates, endian, mode);
          },
          py::arg("state"), py::arg("gates"), py::arg("endian") = "little", py::arg("mode") = KernelMode::PairAuto);
    route(m, "measure_device",
          [](const py::object& original, const StateArg& state, const std::vector<int64_t>& targets,
             const std::string& endian, const py::object& seed) -> std::string {
              if (!is_distributed(state)) return original(state, targets, endian, seed).cast<std::string>();
              return measure_device(state.cast<DistributedState&>(), targets, endian, seed);
          },
          py::arg("state"), py::arg("targets"), py::arg("endian") = "little", py::arg("seed") = py::none());
    route(m, "sample_measure_device",
          [](const py::object& original, const StateArg& state, const std::vector<int64_t>& targets, uint64_t shots,
             const std::string& endian, const py::object& seed, bool collapse_last) -> py::tuple {
              if (!is_distributed(state)) {
                  return original(state, targets, shots, endian, seed, collapse_last).cast<py::tuple>();
              }
              return sample_measure_device(state.cast<DistributedState&>(), targets, shots, endian, seed,
                                           collapse_last);
          },
          py::arg("state"), py::arg("targets"), py::arg("shots"), py::arg("endian") = "little",
          py::arg("seed") = py::none(), py::arg("collapse_last") = true);
    route(m, "pauli_expectations",
          [](const py::object& original, const StateArg& state, const py::object& paulis) -> py::array_t<double> {
              if (!is_distributed(state)) return original(state, paulis).cast<py::array_t<double>>();
              return pauli_expectations_distributed(state.cast<DistributedState&>(), paulis);
          },
          py::arg("state"), py::arg("paulis"));
}

}  // namespace ketsim
