// Projective measurement of a device density matrix in the computational basis: outcome
// probabilities from the diagonal on the device, a seeded draw on the host, collapse on the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../common/cu_complex.h"

namespace velloran::rhosim {

// Measures `targets` of the n-qubit matrix rho (on device_id), collapses and renormalises it to the
// drawn outcome and returns the bits, targets[0] first. endian "big" reads qubit q as bit n - 1 - q.
template <typename T>
std::string measure_density(uint64_t n, CuComplex<T>* rho, const std::vector<int64_t>& targets,
                            const std::string& endian, int32_t device_id, uint64_t seed);

}  // namespace velloran::rhosim
