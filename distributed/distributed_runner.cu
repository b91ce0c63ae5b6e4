// The distributed runner: gate placement (local, diagonal on a global qubit, relabelled SWAP, or
// brought local by an exchange), the pairwise exchange in bounded chunks, and measurement with one
// sum over the ranks followed by the single-device sampling.
#include "distributed_runner.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>
#include <map>
#include <optional>
#include <random>
#include <unordered_map>

#include "../common/block_loops.h"
#include "../common/cuda_check.h"
#include "../common/device_access.h"
#include "../common/device_buffer.h"
#include "../common/interrupt.h"
#include "../common/launch.h"
#include "../ketsim/gates/control_masks.h"
#include "../ketsim/gates/index_bits.h"
#include "../ketsim/run_circuit.h"

namespace ketsim::distributed {

namespace {

constexpr unsigned int kBlock = 256;
constexpr double kPi = 3.141592653589793;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

// ---- validation ---------------------------------------------------------------------------------

void require_params(const GateRecord& gate, size_t count, const char* message) {
    if (gate.params.size() != count) throw std::invalid_argument(message);
}

int64_t narrow_target(int64_t t) {
    if (t < std::numeric_limits<int32_t>::min() || t > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("target qubit index " + std::to_string(t) + " is out of range");
    }
    return t;
}

// The checks of a single-target gate, in the launchers' order: the first target narrowed, the
// control lists, then the qubits.
void check_single_target(uint64_t n, const GateRecord& gate) {
    const int64_t target = gate.targets.empty() ? -1 : narrow_target(gate.targets.front());
    build_control_masks(gate.controls, gate.control_state);
    validate_gate_qubits(n, static_cast<int32_t>(target), gate.controls);
}

void check_unitary(uint64_t n, const GateRecord& gate) {
    const std::vector<int64_t>& targets = gate.targets;
    if (targets.empty()) throw std::invalid_argument("UNITARY gate requires at least one target.");
    const uint64_t m = targets.size();
    if (m >= 63 || gate.matrix_dim != (int64_t{1} << m)) {
        throw std::invalid_argument("UNITARY matrix dimension must be 2**num_targets.");
    }
    const uint64_t dim = uint64_t{1} << m;
    if (m >= 32 || dim * dim != gate.matrix.size()) throw std::invalid_argument("UNITARY matrix size mismatch.");
    build_control_masks(gate.controls, gate.control_state);
    for (const int64_t t : targets) {
        if (static_cast<uint64_t>(t) > 62) throw std::invalid_argument("target qubit index must be in [0, 62]");
    }
    validate_gate_qubits(n, targets, gate.controls);
}

// What one device checks before it launches the gate, against n qubits.
void check_gate(uint64_t n, const GateRecord& gate) {
    if (gate.id > UNITARY) throw std::invalid_argument("Unsupported gate id");
    switch (static_cast<GateId>(gate.id)) {
        case SWAP:
            if (gate.targets.size() != 2) throw std::invalid_argument("SWAP gate requires exactly two parameters.");
            narrow_target(gate.targets[0]);
            narrow_target(gate.targets[1]);
            build_control_masks(gate.controls, gate.control_state);
            validate_gate_qubits(n, gate.targets, gate.controls);
            break;
        case RX: require_params(gate, 1, "RX gate requires exactly one parameter."); check_single_target(n, gate); break;
        case RY: require_params(gate, 1, "RY gate requires exactly one parameter."); check_single_target(n, gate); break;
        case RZ: require_params(gate, 1, "RZ gate requires exactly one parameter."); check_single_target(n, gate); break;
        case PHASE:
            require_params(gate, 1, "PHASE gate requires exactly one parameter.");
            check_single_target(n, gate);
            break;
        case GLOBAL_PHASE:
            require_params(gate, 1, "GLOBAL_PHASE gate requires exactly one parameter.");
            build_control_masks(gate.controls, gate.control_state);
            validate_control_qubits(n, gate.controls);
            break;
        case U: require_params(gate, 3, "U gate requires exactly three parameters."); check_single_target(n, gate); break;
        case UNITARY: check_unitary(n, gate); break;
        default: check_single_target(n, gate); break;
    }
}

// ---- placement ----------------------------------------------------------------------------------

bool diagonal_matrix(const GateRecord& gate) {
    const int64_t d = gate.matrix_dim;
    for (int64_t r = 0; r < d; ++r) {
        for (int64_t c = 0; c < d; ++c) {
            if (r != c && gate.matrix[static_cast<size_t>(r * d + c)] != std::complex<double>(0.0, 0.0)) return false;
        }
    }
    return true;
}

// Gates whose matrix is diagonal in the computational basis: they apply on a global target with
// the rank's bit, without an exchange.
bool is_diagonal(const GateRecord& gate) {
    switch (static_cast<GateId>(gate.id)) {
        case Z: case S: case SDAG: case RZ: case PHASE: case GLOBAL_PHASE: return true;
        case U: return gate.params[0] == 0.0;
        case UNITARY: return diagonal_matrix(gate);
        default: return false;
    }
}

// The targets a gate acts on: a single-target gate reads its first target only, as one device does.
std::vector<int64_t> acting_targets(const GateRecord& gate) {
    switch (static_cast<GateId>(gate.id)) {
        case GLOBAL_PHASE: return {};
        case SWAP: case UNITARY: return gate.targets;
        default: return {gate.targets.front()};
    }
}

// A SWAP without controls is a relabelling of two qubits: it moves no amplitude.
bool is_relabel(const GateRecord& gate) { return gate.id == SWAP && gate.controls.empty(); }

// The logical targets that must sit in local bits when the gate runs.
std::vector<int64_t> local_needs(const GateRecord& gate) {
    if (is_diagonal(gate) || is_relabel(gate)) return {};
    return acting_targets(gate);
}

// ---- exchange kernels ---------------------------------------------------------------------------

template <typename T>
__global__ void pack_half_kernel(uint64_t count, const CuComplex<T>* state, CuComplex<T>* buffer, uint64_t first,
                                 uint64_t bit, uint64_t set) {
    velloran::for_grid_stride_index(count, 0, 0, [=](uint64_t k) {
        velloran::store_amplitude(buffer + k, velloran::load_amplitude(state + (insert_zero_bit(first + k, bit) | set)));
    });
}

template <typename T>
__global__ void unpack_half_kernel(uint64_t count, CuComplex<T>* state, const CuComplex<T>* buffer, uint64_t first,
                                   uint64_t bit, uint64_t set) {
    velloran::for_grid_stride_index(count, 0, 0, [=](uint64_t k) {
        velloran::store_amplitude(state + (insert_zero_bit(first + k, bit) | set), velloran::load_amplitude(buffer + k));
    });
}

// Amplitudes per exchanged message: VELLORAN_MPI_CHUNK_BYTES (default 16 MiB), at least one.
uint64_t chunk_elements(size_t element) {
    uint64_t bytes = uint64_t{16} << 20;
    if (const char* text = std::getenv("VELLORAN_MPI_CHUNK_BYTES")) {
        const long long parsed = std::atoll(text);
        if (parsed > 0) bytes = static_cast<uint64_t>(parsed);
    }
    bytes = std::min<uint64_t>(bytes, uint64_t{1} << 30);
    return std::max<uint64_t>(1, bytes / element);
}

[[noreturn]] void raise_agreed(const std::exception_ptr& error) {
    if (error) std::rethrow_exception(error);
    throw std::runtime_error(kFailedElsewhere);
}

// Swaps the qubits at global position `global` and local position `local`: this rank and its
// partner (the rank differing in that global bit) trade the halves of their slices that change
// place, in messages of at most chunk_elements. Messages leave from and land in device memory where
// the communicator takes it (sends_device_memory), else they pass through page-locked host
// buffers. Every buffer is allocated before the first message (the library is given separate send
// and receive memory, so it needs none of its own), and every rank agrees on `error`, this rank's
// failure so far, and on those allocations before it sends: a failure up to there raises on every
// rank with each slice and the qubit map as they were. After that every rank makes the same sends
// whatever fails locally, so no partner waits forever; such a failure is left in `error` for the
// agreement that follows.
template <typename T>
void exchange(DistributedState& state, int64_t global, int64_t local, std::exception_ptr& error) {
    Communicator& comm = *state.comm;
    const uint64_t L = state.local_qubits;
    const int bit_of_rank = state.rank_bit(global);
    const int partner = state.rank ^ (1 << (static_cast<uint64_t>(global) - L));
    const uint64_t local_bit = uint64_t{1} << local;
    // The half whose local bit differs from this rank's global bit moves to the partner.
    const uint64_t set = bit_of_rank == 0 ? local_bit : 0;
    const uint64_t half = uint64_t{1} << (L - 1);
    const size_t element = sizeof(CuComplex<T>);
    const uint64_t chunk = std::min(half, chunk_elements(element));
    auto* amplitudes = static_cast<CuComplex<T>*>(state.local.device_ptr());
    // With the top local bit the half is one contiguous block of the slice; any other bit's half is
    // packed into a device buffer a chunk at a time, and unpacked from it.
    const bool contiguous = static_cast<uint64_t>(local) == L - 1;
    const bool direct = sends_device_memory(comm);

    velloran::DeviceBuffer<CuComplex<T>> packed;
    velloran::DeviceBuffer<CuComplex<T>> incoming;
    std::vector<CuComplex<T>> host_out;
    std::vector<CuComplex<T>> host_in;
    std::optional<velloran::HostRegistration> pinned_out;
    std::optional<velloran::HostRegistration> pinned_in;
    if (!error) {
        try {
            velloran::check_cuda(cudaSetDevice(state.local.device_id));
            if (!contiguous) packed = velloran::DeviceBuffer<CuComplex<T>>(chunk);
            if (direct) {
                incoming = velloran::DeviceBuffer<CuComplex<T>>(chunk);
            } else {
                host_out.resize(static_cast<size_t>(chunk));
                host_in.resize(static_cast<size_t>(chunk));
                pinned_out.emplace(host_out.data(), chunk * element, true);
                pinned_in.emplace(host_in.data(), chunk * element, true);
            }
        } catch (...) {
            error = std::current_exception();
        }
    }
    if (comm.any(error != nullptr)) raise_agreed(error);

    // Where the outgoing chunk is read from and the incoming one written to, in the message memory.
    void* send = direct ? nullptr : static_cast<void*>(host_out.data());
    void* receive = direct ? static_cast<void*>(incoming.get()) : static_cast<void*>(host_in.data());
    for (uint64_t first = 0; first < half; first += chunk) {
        const uint64_t count = std::min(chunk, half - first);
        const size_t bytes = count * element;
        const dim3 grid(velloran::capped_grid_for(count, kBlock, 65535u));
        CuComplex<T>* block = contiguous ? amplitudes + set + first : packed.get();
        if (direct) send = block;
        if (!error) {
            try {
                if (!contiguous) {
                    velloran::launch_indexed_kernel<&pack_half_kernel<T>>(grid, dim3(kBlock), 0, nullptr, count,
                                                                          static_cast<const CuComplex<T>*>(amplitudes),
                                                                          packed.get(), first, local_bit, set);
                    velloran::check_cuda(cudaGetLastError());
                }
                if (direct) {
                    // The library reads the block once the device has written it.
                    velloran::check_cuda(cudaDeviceSynchronize());
                } else {
                    velloran::check_cuda(cudaMemcpy(host_out.data(), block, bytes, cudaMemcpyDeviceToHost));
                }
            } catch (...) {
                error = std::current_exception();
            }
        }
        // A rank that failed still answers its partner, from the same buffers.
        comm.sendrecv(send, receive, bytes, partner);
        if (error) continue;
        try {
            velloran::check_cuda(cudaMemcpy(block, receive, bytes,
                                            direct ? cudaMemcpyDeviceToDevice : cudaMemcpyHostToDevice));
            if (!contiguous) {
                velloran::launch_indexed_kernel<&unpack_half_kernel<T>>(grid, dim3(kBlock), 0, nullptr, count, amplitudes,
                                                                        static_cast<const CuComplex<T>*>(packed.get()),
                                                                        first, local_bit, set);
                velloran::check_cuda(cudaGetLastError());
            }
            // The next message lands in the receive buffer, and the next chunk is packed, only after
            // this chunk is in place.
            velloran::check_cuda(cudaDeviceSynchronize());
        } catch (...) {
            error = std::current_exception();
        }
    }
    ++state.exchanges;
    state.exchanged_bytes += half * element;
    // The qubits trade positions.
    const int64_t a = state.logical_at(global);
    const int64_t b = state.logical_at(local);
    state.physical[static_cast<size_t>(a)] = local;
    state.physical[static_cast<size_t>(b)] = global;
}

// ---- translation to the local register ----------------------------------------------------------

// The rank's own form of a gate whose needed targets are local: controls on global qubits become a
// condition (false: the gate does nothing here), diagonal factors on global targets take the rank's
// bit. Appends nothing when the gate is the identity on this rank.
void translate(const DistributedState& state, const GateRecord& gate, std::vector<GateRecord>& out) {
    GateRecord rec;
    rec.name = gate.name;
    rec.id = gate.id;
    rec.params = gate.params;
    for (size_t j = 0; j < gate.controls.size(); ++j) {
        const int64_t position = state.physical[static_cast<size_t>(gate.controls[j])];
        if (state.is_global(position)) {
            if (state.rank_bit(position) != gate.control_state[j]) return;
            continue;
        }
        rec.controls.push_back(position);
        rec.control_state.push_back(gate.control_state[j]);
    }
    const std::vector<int64_t> targets = acting_targets(gate);
    std::vector<int64_t> positions;
    for (const int64_t t : targets) positions.push_back(state.physical[static_cast<size_t>(t)]);
    const bool any_global = std::any_of(positions.begin(), positions.end(), [&](int64_t p) { return state.is_global(p); });
    if (!any_global) {
        rec.targets = positions;
        if (gate.has_matrix) {
            rec.matrix = gate.matrix;
            rec.matrix_dim = gate.matrix_dim;
            rec.has_matrix = true;
        }
        out.push_back(std::move(rec));
        return;
    }
    // A diagonal gate with a global target.
    auto phase = [&](double angle) {
        rec.id = GLOBAL_PHASE;
        rec.name = "global_phase";
        rec.params.assign(1, angle);
        out.push_back(rec);
    };
    if (gate.id != UNITARY) {
        const int bit = state.rank_bit(positions.front());
        switch (static_cast<GateId>(gate.id)) {
            case Z: if (bit) phase(kPi); return;
            case S: if (bit) phase(kPi / 2); return;
            case SDAG: if (bit) phase(-kPi / 2); return;
            case PHASE: if (bit) phase(gate.params[0]); return;
            case U: if (bit) phase(gate.params[1] + gate.params[2]); return;
            case RZ: phase(bit ? gate.params[0] / 2 : -gate.params[0] / 2); return;
            default: throw std::logic_error("gate on a global qubit without an exchange");
        }
    }
    // A diagonal matrix: the global targets' bits pick the entries that remain.
    std::vector<int64_t> local_targets;
    std::vector<size_t> local_index;
    uint64_t fixed = 0;
    for (size_t j = 0; j < positions.size(); ++j) {
        if (state.is_global(positions[j])) {
            if (state.rank_bit(positions[j])) fixed |= uint64_t{1} << j;
        } else {
            local_targets.push_back(positions[j]);
            local_index.push_back(j);
        }
    }
    const int64_t d = gate.matrix_dim;
    auto entry = [&](uint64_t c) { return gate.matrix[static_cast<size_t>(c * static_cast<uint64_t>(d) + c)]; };
    std::vector<std::complex<double>> diagonal;
    if (local_targets.empty()) {
        const std::complex<double> factor = entry(fixed);
        const std::complex<double> one(1.0, 0.0);
        if (!rec.controls.empty()) {
            // The factor on one local control's selected value, that control folded into the target.
            const int64_t c = rec.controls.back();
            const int64_t s = rec.control_state.back();
            rec.controls.pop_back();
            rec.control_state.pop_back();
            local_targets.push_back(c);
            diagonal = {s == 0 ? factor : one, s == 1 ? factor : one};
        } else {
            local_targets.push_back(0);
            diagonal = {factor, factor};
        }
    } else {
        const uint64_t m = local_targets.size();
        for (uint64_t c = 0; c < (uint64_t{1} << m); ++c) {
            uint64_t full = fixed;
            for (uint64_t j = 0; j < m; ++j) {
                if ((c >> j) & 1u) full |= uint64_t{1} << local_index[j];
            }
            diagonal.push_back(entry(full));
        }
    }
    const uint64_t dim = uint64_t{1} << local_targets.size();
    rec.targets = local_targets;
    rec.matrix.assign(dim * dim, std::complex<double>(0.0, 0.0));
    for (uint64_t c = 0; c < dim; ++c) rec.matrix[c * dim + c] = diagonal[c];
    rec.matrix_dim = static_cast<int64_t>(dim);
    rec.has_matrix = true;
    out.push_back(std::move(rec));
}

// ---- the runner ---------------------------------------------------------------------------------

template <typename T>
void run_segment(DistributedState& state, const std::vector<GateRecord>& segment, KernelMode mode,
                 const fusion::FusionOptions& options) {
    const uint64_t L = state.local_qubits;
    auto* amplitudes = static_cast<CuComplex<T>*>(state.local.device_ptr());
    velloran::check_cuda(cudaSetDevice(state.local.device_id));
    if (mode == KernelMode::PairAutoFusion) {
        const fusion::FusionPlan plan = fusion::plan_fusion(static_cast<int64_t>(L), segment, options);
        fusion::FusionWorkspace<T> workspace = fusion::prepare_fusion_workspace<T>(static_cast<int64_t>(L), plan);
        const fusion::FusionWorkspaceScope<T> scope(workspace);
        execute_plan<T>(L, amplitudes, segment, plan, workspace);
    } else {
        run_gate_list<T>(L, amplitudes, segment, mode);
    }
    velloran::check_cuda(cudaStreamSynchronize(nullptr));
}

// The local position to trade for a global qubit: not one of the gate's targets, needed again as
// late as possible (never, best), a control of the gate only when nothing else is left, and the top
// local bit among equals (its half is contiguous).
int64_t choose_local(const DistributedState& state, const std::vector<std::vector<int64_t>>& needs, size_t from,
                     const std::vector<int64_t>& taken, const std::vector<int64_t>& gate_controls) {
    int64_t best = -1;
    std::tuple<uint64_t, int, int64_t> best_score{0, 0, 0};
    for (int64_t p = 0; p < static_cast<int64_t>(state.local_qubits); ++p) {
        if (std::find(taken.begin(), taken.end(), p) != taken.end()) continue;
        const int64_t q = state.logical_at(p);
        uint64_t next = kNever;
        for (size_t j = from; j < needs.size(); ++j) {
            if (std::find(needs[j].begin(), needs[j].end(), q) != needs[j].end()) {
                next = j;
                break;
            }
        }
        const int free_of_gate = std::find(gate_controls.begin(), gate_controls.end(), q) == gate_controls.end();
        const std::tuple<uint64_t, int, int64_t> score{next, free_of_gate, p};
        if (best < 0 || score > best_score) {
            best = p;
            best_score = score;
        }
    }
    if (best < 0) throw std::logic_error("no local qubit left to exchange");
    return best;
}

template <typename T>
void run_typed(DistributedState& state, const std::vector<GateRecord>& gates, KernelMode mode,
               const fusion::FusionOptions& options) {
    std::exception_ptr error;
    std::vector<GateRecord> segment;
    auto flush = [&] {
        if (!error && !segment.empty()) {
            try {
                run_segment<T>(state, segment, mode, options);
            } catch (...) {
                error = std::current_exception();
            }
        }
        segment.clear();
    };
    auto agree = [&] {
        if (state.comm->any(error != nullptr)) raise_agreed(error);
    };
    std::vector<std::vector<int64_t>> needs(gates.size());
    for (size_t i = 0; i < gates.size(); ++i) needs[i] = local_needs(gates[i]);

    for (size_t i = 0; i < gates.size(); ++i) {
        const GateRecord& gate = gates[i];
        std::vector<int64_t> global_needs;
        std::vector<int64_t> taken;
        for (const int64_t q : needs[i]) {
            const int64_t p = state.physical[static_cast<size_t>(q)];
            if (state.is_global(p)) {
                global_needs.push_back(q);
            } else {
                taken.push_back(p);
            }
        }
        if (!global_needs.empty()) {
            // The first exchange agrees on any failure so far before it sends.
            flush();
            for (const int64_t q : global_needs) {
                const int64_t local = choose_local(state, needs, i + 1, taken, gate.controls);
                exchange<T>(state, state.physical[static_cast<size_t>(q)], local, error);
                taken.push_back(local);
            }
            agree();
        }
        if (is_relabel(gate)) {
            const int64_t a = gate.targets[0];
            const int64_t b = gate.targets[1];
            const bool global = state.is_global(state.physical[static_cast<size_t>(a)]) ||
                                state.is_global(state.physical[static_cast<size_t>(b)]);
            if (global) {
                std::swap(state.physical[static_cast<size_t>(a)], state.physical[static_cast<size_t>(b)]);
                continue;
            }
        }
        translate(state, gate, segment);
    }
    flush();
    agree();
}

// ---- measurement --------------------------------------------------------------------------------

// probs[o] += |state[i]|^2 with o built from the local bits at `positions` (first target most
// significant) over the outcome bits fixed by the rank.
template <typename T>
__global__ void local_probs_kernel(uint64_t count, const CuComplex<T>* state, const int64_t* positions, int64_t k,
                                   uint64_t fixed, double* probs) {
    velloran::for_grid_stride_index(count, 0, 0, [=](uint64_t i) {
        uint64_t o = fixed;
        for (int64_t j = 0; j < k; ++j) {
            if (positions[j] >= 0) o |= ((i >> positions[j]) & 1u) << (k - 1 - j);
        }
        const CuComplex<T> a = velloran::load_amplitude(state + i);
        const double re = static_cast<double>(a.re);
        const double im = static_cast<double>(a.im);
        velloran::atomic_add(probs + o, re * re + im * im);
    });
}

template <typename T>
__global__ void local_collapse_kernel(uint64_t count, CuComplex<T>* state, const int64_t* positions, int64_t k,
                                      uint64_t fixed, uint64_t outcome, double scale) {
    velloran::for_grid_stride_index(count, 0, 0, [=](uint64_t i) {
        uint64_t o = fixed;
        for (int64_t j = 0; j < k; ++j) {
            if (positions[j] >= 0) o |= ((i >> positions[j]) & 1u) << (k - 1 - j);
        }
        CuComplex<T> a{T(0), T(0)};
        if (o == outcome) {
            a = velloran::load_amplitude(state + i);
            a.re = static_cast<T>(static_cast<double>(a.re) * scale);
            a.im = static_cast<T>(static_cast<double>(a.im) * scale);
        }
        velloran::store_amplitude(state + i, a);
    });
}

template <typename T>
SampleResult sample_typed(DistributedState& state, const std::vector<int64_t>& targets, const std::string& endian,
                          uint64_t shots, uint64_t seed, bool collapse) {
    const uint64_t n = state.num_qubits;
    const int64_t k = static_cast<int64_t>(targets.size());
    const bool little = endian == "little";
    const uint64_t outcomes = uint64_t{1} << k;
    std::vector<int64_t> positions(static_cast<size_t>(k));
    uint64_t fixed = 0;
    for (int64_t j = 0; j < k; ++j) {
        const int64_t logical = little ? targets[j] : static_cast<int64_t>(n) - 1 - targets[j];
        const int64_t p = state.physical[static_cast<size_t>(logical)];
        if (state.is_global(p)) {
            if (state.rank_bit(p)) fixed |= uint64_t{1} << (k - 1 - j);
            positions[static_cast<size_t>(j)] = -1;
        } else {
            positions[static_cast<size_t>(j)] = p;
        }
    }
    const uint64_t count = state.local.num_state;
    auto* amplitudes = static_cast<CuComplex<T>*>(state.local.device_ptr());
    const dim3 grid(velloran::capped_grid_for(count, kBlock, velloran::kMaxGridX));

    std::vector<double> probs;
    velloran::DeviceBuffer<int64_t> device_positions;
    run_agreed(*state.comm, [&] {
        velloran::check_cuda(cudaSetDevice(state.local.device_id));
        device_positions = velloran::DeviceBuffer<int64_t>(static_cast<uint64_t>(k));
        velloran::DeviceBuffer<double> device_probs(outcomes);
        velloran::check_cuda(cudaMemcpy(device_positions.get(), positions.data(),
                                        velloran::checked_bytes(k, sizeof(int64_t)), cudaMemcpyHostToDevice));
        const size_t prob_bytes = velloran::checked_bytes(outcomes, sizeof(double));
        velloran::check_cuda(cudaMemset(device_probs.get(), 0, prob_bytes));
        velloran::launch_indexed_kernel<&local_probs_kernel<T>>(grid, dim3(kBlock), 0, nullptr, count,
                                                                static_cast<const CuComplex<T>*>(amplitudes),
                                                                static_cast<const int64_t*>(device_positions.get()), k,
                                                                fixed, device_probs.get());
        velloran::check_cuda(cudaGetLastError());
        probs.resize(static_cast<size_t>(outcomes));
        velloran::check_cuda(cudaMemcpy(probs.data(), device_probs.get(), prob_bytes, cudaMemcpyDeviceToHost));
        device_probs.free_checked();
    });
    // One sum over the ranks; rank 0's copy is then every rank's, bit for bit, so every rank draws
    // the same outcomes.
    state.comm->allreduce_sum(probs.data(), probs.size());
    if (state.num_ranks > 1) state.comm->broadcast(probs.data(), probs.size() * sizeof(double), 0);

    uint64_t last = 0;
    SampleResult result;
    double scale = 1.0;
    // The draws are the same on every rank, but a rank can still fail to hold the counts: agreed
    // before the collapse, which every rank must join.
    run_agreed(*state.comm, [&] {
        result = draw_outcomes(probs, shots, seed, static_cast<size_t>(k), last);
        if (collapse) {
            const double p = probs[last];
            if (!(p > 0.0)) throw std::runtime_error("Selected measurement probability is zero.");
            scale = 1.0 / std::sqrt(p);
        }
    });
    if (collapse) {
        run_agreed(*state.comm, [&] {
            velloran::launch_indexed_kernel<&local_collapse_kernel<T>>(grid, dim3(kBlock), 0, nullptr, count, amplitudes,
                                                                       static_cast<const int64_t*>(device_positions.get()),
                                                                       k, fixed, last, scale);
            velloran::check_cuda(cudaGetLastError());
            velloran::check_cuda(cudaStreamSynchronize(nullptr));
        });
    }
    device_positions.reset();
    return result;
}

}  // namespace

void validate_distributed_gates(const DistributedState& state, const std::vector<GateRecord>& gates) {
    for (const GateRecord& gate : gates) {
        check_gate(state.num_qubits, gate);
        const std::vector<int64_t> needs = local_needs(gate);
        if (needs.size() > state.local_qubits) {
            throw std::invalid_argument("gate " + gate.name + " acts on " + std::to_string(needs.size()) +
                                        " qubits, more than the " + std::to_string(state.local_qubits) +
                                        " local qubits of each rank of this DistributedState");
        }
    }
}

void bring_local(DistributedState& state, const std::vector<int64_t>& qubits,
                 const std::vector<std::vector<int64_t>>& later, const std::exception_ptr& pending) {
    std::vector<int64_t> missing;
    std::vector<int64_t> taken;
    for (const int64_t q : qubits) {
        const int64_t p = state.physical[static_cast<size_t>(q)];
        if (state.is_global(p)) {
            missing.push_back(q);
        } else {
            taken.push_back(p);
        }
    }
    if (missing.empty()) return;
    if (qubits.size() > state.local_qubits) throw std::logic_error("more qubits to bring local than local bits");
    // The first exchange agrees on `pending` before it sends.
    std::exception_ptr error = pending;
    for (const int64_t q : missing) {
        const int64_t local = choose_local(state, later, 0, taken, {});
        if (state.dtype() == Dtype::Complex64) {
            exchange<float>(state, state.physical[static_cast<size_t>(q)], local, error);
        } else {
            exchange<double>(state, state.physical[static_cast<size_t>(q)], local, error);
        }
        taken.push_back(local);
    }
    if (state.comm->any(error != nullptr)) raise_agreed(error);
}

void run_distributed(DistributedState& state, const std::vector<GateRecord>& gates, KernelMode mode,
                     const fusion::FusionOptions& options) {
    if (state.dtype() == Dtype::Complex64) {
        run_typed<float>(state, gates, mode, options);
    } else {
        run_typed<double>(state, gates, mode, options);
    }
}

SampleResult sample_distributed(DistributedState& state, const std::vector<int64_t>& targets,
                                const std::string& endian, uint64_t shots, uint64_t seed, bool collapse) {
    check_measure_targets(state.num_qubits, targets, endian, shots);
    if (state.dtype() == Dtype::Complex64) return sample_typed<float>(state, targets, endian, shots, seed, collapse);
    return sample_typed<double>(state, targets, endian, shots, seed, collapse);
}

}  // namespace ketsim::distributed
