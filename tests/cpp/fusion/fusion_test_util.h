// Helpers of the fusion tests: gate records, random states and a plain reference simulator that
// builds each gate's matrix from its own formulas and applies it by index loops.
#pragma once

#include <complex>
#include <cstdint>
#include <vector>

#include "ketsim/gate_record.h"

namespace fusion_test {

using Complex = std::complex<double>;
using State = std::vector<Complex>;

// A gate; controls default to state 1.
ketsim::GateRecord gate(uint32_t id, std::vector<int64_t> targets, std::vector<int64_t> controls = {},
                        std::vector<double> params = {}, std::vector<int64_t> control_state = {});

// A normalised pseudo-random state of 2^n amplitudes.
State random_state(int n, uint32_t seed);

// Applies one single-target gate, SWAP or one-target UNITARY to `psi`.
void reference_apply(State& psi, int n, const ketsim::GateRecord& g);
State reference_run(State psi, int n, const std::vector<ketsim::GateRecord>& gates);

// The 2^k x 2^k row-major operator of `gates` restricted to the qubits `active` (local qubit i is
// active[i]), built column by column from basis states.
std::vector<Complex> reference_operator(const std::vector<ketsim::GateRecord>& gates,
                                        const std::vector<int64_t>& active);

double max_distance(const State& a, const State& b);

}  // namespace fusion_test
