// The global phase gate: multiplies every amplitude whose index satisfies the controls by
// e^(i phi). It has no target, so there is one kernel for every KernelMode.
#include "../../common/block_loops.h"
#include "../../common/device_access.h"
#include "angle_gate.h"
#include "gate_launchers.h"

namespace ketsim {

template <typename T>
__global__ void cu_global_phase_kernel(int64_t n, CuComplex<T>* state, uint64_t control_mask,
                                       uint64_t control_value, T phi) {
    const SinCos<T> p = sin_cos(phi);
    const CuComplex<T> factor{p.c, p.s};
    velloran::for_matching_grid_stride_index(uint64_t{1} << n, control_mask, control_value, [=](uint64_t i) {
        velloran::store_amplitude(state + i, factor * velloran::load_amplitude(state + i));
    });
}

template <typename T>
void cu_global_phase(uint64_t n, CuComplex<T>* state, const std::vector<int64_t>& controls,
                     const std::vector<int64_t>& control_state, cudaStream_t stream, T phi) {
    const ControlMasks masks = build_control_masks(controls, control_state);
    validate_control_qubits(n, controls);
    velloran::launch_indexed_kernel<&cu_global_phase_kernel<T>>(
        dim3(velloran::grid_for(uint64_t{1} << n, kGateBlock)), dim3(kGateBlock), 0, stream, static_cast<int64_t>(n),
        state, masks.control_mask, masks.control_value, phi);
    velloran::check_launch("cu_global_phase kernel launch failed: ");
}

template void cu_global_phase<float>(uint64_t, CuComplex<float>*, const std::vector<int64_t>&,
                                     const std::vector<int64_t>&, cudaStream_t, float);
template void cu_global_phase<double>(uint64_t, CuComplex<double>*, const std::vector<int64_t>&,
                                      const std::vector<int64_t>&, cudaStream_t, double);

}  // namespace ketsim
