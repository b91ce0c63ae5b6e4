// Host launchers of the density kernels, each in a complex64 and a complex128 twin. They queue work
// on the default stream of the current device and never synchronise; a failed launch throws
// std::runtime_error with the kernel family's prefix.
#pragma once

#include <cstdint>

#include "../common/cu_complex.h"
#include "density_types.h"

namespace velloran::rhosim {

template <typename T>
struct DeviceDensityGate;

// rho -> C rho C^dagger for U on 1 to 6 targets under the control condition.
template <typename T>
void apply_unitary(CuComplex<T>* rho, uint64_t dim, uint64_t control_mask, uint64_t control_value,
                   const CuComplex<T>* matrix, const DeviceTargets& targets);

// A controlled one-qubit diagonal gate diag(d0, d1) on the qubit of target_mask.
template <typename T>
void apply_diagonal(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, uint64_t control_mask,
                    uint64_t control_value, CuComplex<T> d0, CuComplex<T> d1);

// A controlled X flip of flip_mask, or with is_swap a SWAP of its two bits.
template <typename T>
void apply_permutation(CuComplex<T>* rho, uint64_t dim, uint64_t flip_mask, uint64_t control_mask,
                       uint64_t control_value, bool is_swap);

// One of the five built-in channels (density::ChannelKind) on the qubit of target_mask.
template <typename T>
void apply_channel(CuComplex<T>* rho, uint64_t dim, uint64_t target_mask, int32_t kind, T parameter);

// rho -> sum over m of K_m rho K_m^dagger on 1 to 3 targets.
template <typename T>
void apply_kraus(CuComplex<T>* rho, uint64_t dim, int64_t matrix_count, const CuComplex<T>* matrices,
                 const DeviceTargets& targets);

// A one-qubit unitary followed by a built-in channel on the same qubit, in one pass.
template <typename T>
void apply_unitary_channel(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrix, int32_t kind, T parameter,
                           const DeviceTargets& targets);

// A fused group on m active qubits: every tile of rho on those qubits through all gate records.
template <typename T>
void launch_fused(uint64_t dim, CuComplex<T>* rho, uint64_t active_mask, int64_t m, const DeviceDensityGate<T>* gates,
                  int64_t gate_count);

}  // namespace velloran::rhosim
