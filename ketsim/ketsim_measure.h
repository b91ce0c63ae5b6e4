// Computational-basis measurement of chosen qubits of a device state vector: outcome probabilities
// on the device, seeded sampling on the host, and an optional collapse onto the last outcome.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../common/cu_complex.h"

namespace ketsim {

struct SampleResult {
    // Outcome bit string -> number of shots that drew it; character j is the value of targets[j].
    std::map<std::string, uint64_t> counts;
    std::string last_outcome;
};

// Draws `shots` outcomes of `targets` from `state` (num_state amplitudes of an n-qubit register on
// device `device_id`) with a 64-bit Mersenne Twister seeded with `seed`, one generator output per
// shot. With `collapse`, the state is projected onto the last outcome and renormalised to norm 1.
// Runs without the interpreter lock; the state is left untouched on every failure before the collapse.
// The checks every measurement makes of its targets (distinct, below n), endian and shot count.
void check_measure_targets(uint64_t n, const std::vector<int64_t>& targets, const std::string& endian,
                           uint64_t shots);

// The shots drawn from the probabilities of the 2^k outcomes (summed in index order, not
// normalised): their counts and the last outcome's bits, with its index in `last`. A zero or
// non-finite total is refused before any draw.
SampleResult draw_outcomes(const std::vector<double>& probs, uint64_t shots, uint64_t seed, size_t k,
                           uint64_t& last);

template <typename T>
SampleResult sample_outcomes(int64_t n, CuComplex<T>* state, uint64_t num_state, const std::vector<int64_t>& targets,
                             const std::string& endian, int32_t device_id, uint64_t shots, uint64_t seed,
                             bool collapse);

}  // namespace ketsim
