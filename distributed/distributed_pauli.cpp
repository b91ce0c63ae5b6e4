// Pauli expectations over the ranks: terms run in batches that need no exchange between them; a Z
// factor on a global qubit is the rank's sign, so only flipped (X, Y) qubits must be local.
#include "distributed_pauli.h"

#include <stdexcept>
#include <string>

#include "../common/index_bits.h"
#include "distributed_runner.h"

namespace ketsim::distributed {

namespace {

std::vector<int64_t> qubits_of(uint64_t mask) {
    std::vector<int64_t> qubits;
    for (int64_t q = 0; mask != 0; ++q, mask >>= 1) {
        if (mask & 1u) qubits.push_back(q);
    }
    return qubits;
}

// The term on the rank's local bits, and the sign its Z factors on global qubits take on this rank.
PauliTerm local_term(const DistributedState& state, const PauliTerm& term, double& sign) {
    PauliTerm local;
    sign = 1.0;
    for (uint64_t q = 0; q < state.num_qubits; ++q) {
        const uint64_t bit = uint64_t{1} << q;
        if (((term.flip | term.phase) & bit) == 0) continue;
        const int64_t p = state.physical[q];
        if (state.is_global(p)) {
            // Only a Z gets here: a flipped qubit was brought local first.
            if (state.rank_bit(p)) sign = -sign;
            continue;
        }
        if (term.flip & bit) local.flip |= uint64_t{1} << p;
        if (term.phase & bit) local.phase |= uint64_t{1} << p;
    }
    return local;
}

}  // namespace

std::vector<double> distributed_pauli_expectations(DistributedState& state, const std::vector<PauliTerm>& terms) {
    std::vector<double> values(terms.size(), 0.0);
    run_agreed(*state.comm, [&] {
        for (const PauliTerm& term : terms) {
            const int flips = velloran::bit_count(term.flip);
            if (static_cast<uint64_t>(flips) > state.local_qubits) {
                throw std::invalid_argument("a Pauli string flips " + std::to_string(flips) + " qubits, more than the " +
                                            std::to_string(state.local_qubits) +
                                            " local qubits of each rank of this DistributedState");
            }
        }
    });
    if (terms.empty()) return values;
    std::vector<std::vector<int64_t>> needs(terms.size());
    for (size_t t = 0; t < terms.size(); ++t) needs[t] = qubits_of(terms[t].flip);

    std::exception_ptr error;
    std::vector<PauliTerm> batch;
    std::vector<size_t> batch_index;
    std::vector<double> batch_sign;
    auto flush = [&] {
        if (!error && !batch.empty()) {
            try {
                const auto* amplitudes = state.local.device_ptr();
                const std::vector<double> local =
                    state.dtype() == Dtype::Complex64
                        ? pauli_expectations(static_cast<int64_t>(state.local_qubits),
                                             static_cast<const CuComplex<float>*>(amplitudes), state.local.num_state,
                                             batch, state.local.device_id)
                        : pauli_expectations(static_cast<int64_t>(state.local_qubits),
                                             static_cast<const CuComplex<double>*>(amplitudes), state.local.num_state,
                                             batch, state.local.device_id);
                for (size_t j = 0; j < batch.size(); ++j) values[batch_index[j]] = batch_sign[j] * local[j];
            } catch (...) {
                error = std::current_exception();
            }
        }
        batch.clear();
        batch_index.clear();
        batch_sign.clear();
    };
    for (size_t t = 0; t < terms.size(); ++t) {
        bool global_flip = false;
        for (const int64_t q : needs[t]) global_flip = global_flip || state.is_global(state.physical[static_cast<size_t>(q)]);
        if (global_flip) {
            flush();
            const std::vector<std::vector<int64_t>> later(needs.begin() + static_cast<std::ptrdiff_t>(t) + 1, needs.end());
            bring_local(state, needs[t], later, error);
        }
        double sign = 1.0;
        batch.push_back(local_term(state, terms[t], sign));
        batch_index.push_back(t);
        batch_sign.push_back(sign);
    }
    flush();
    if (state.comm->any(error != nullptr)) {
        if (error) std::rethrow_exception(error);
        throw std::runtime_error(kFailedElsewhere);
    }
    // One sum over the ranks; rank 0's copy is every rank's, bit for bit.
    state.comm->allreduce_sum(values.data(), values.size());
    if (state.num_ranks > 1) state.comm->broadcast(values.data(), values.size() * sizeof(double), 0);
    return values;
}

}  // namespace ketsim::distributed
