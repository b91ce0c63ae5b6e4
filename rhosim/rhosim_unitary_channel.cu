// A one-qubit unitary followed by a built-in channel on the same qubit, applied in a single pass
// over the matrix: B -> channel(U B U^dagger) on every 2 x 2 block of the target.
#include <stdexcept>

#include "../common/cuda_check.h"
#include "density_kernels.h"
#include "rhosim_launchers.h"

namespace velloran::rhosim {

namespace {

using density::ChannelKind;

template <typename T, ChannelKind Kind>
__global__ void unitary_channel_kernel(CuComplex<T>* rho, uint64_t dim, DeviceTargets targets,
                                       const CuComplex<T>* matrix, T parameter) {
    const BlockLayout<1> layout(targets);
    const uint64_t items = layout.items();
    const CuComplex<T> u[4] = {load_amplitude(matrix), load_amplitude(matrix + 1), load_amplitude(matrix + 2),
                               load_amplitude(matrix + 3)};
    const uint64_t stride = thread_stride_1d();
    for (uint64_t i = thread_index_1d(); i < items; i += stride) {
        const uint64_t row = layout.row_base(i);
        const uint64_t col = layout.col_base(i);
        CuComplex<T> b[4];
        layout.load(rho, dim, row, col, b);
        multiply_left<T, 2>(u, b);
        multiply_right_dagger<T, 2>(u, b);
        apply_channel_rule(static_cast<int32_t>(Kind), parameter, b);
        layout.store(rho, dim, row, col, b);
    }
}

template <typename T, ChannelKind Kind>
void launch_unitary_channel(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrix, T parameter,
                            const DeviceTargets& targets) {
    const uint64_t groups = dim >> 1;
    launch_kernel<&unitary_channel_kernel<T, Kind>>(dim3(grid_for(groups * groups, kDensityBlock)),
                                                    dim3(kDensityBlock), 0, nullptr, rho, dim, targets, matrix,
                                                    parameter);
}

}  // namespace

template <typename T>
void apply_unitary_channel(CuComplex<T>* rho, uint64_t dim, const CuComplex<T>* matrix, int32_t kind, T parameter,
                           const DeviceTargets& targets) {
    if (targets.count != 1) throw std::runtime_error("unitary_channel kernel needs exactly one target");
    switch (kind) {
        case 1: launch_unitary_channel<T, ChannelKind::BitFlip>(rho, dim, matrix, parameter, targets); break;
        case 2: launch_unitary_channel<T, ChannelKind::PhaseFlip>(rho, dim, matrix, parameter, targets); break;
        case 3: launch_unitary_channel<T, ChannelKind::Depolarizing>(rho, dim, matrix, parameter, targets); break;
        case 4: launch_unitary_channel<T, ChannelKind::AmplitudeDamping>(rho, dim, matrix, parameter, targets); break;
        case 5: launch_unitary_channel<T, ChannelKind::PhaseDamping>(rho, dim, matrix, parameter, targets); break;
        default: throw std::runtime_error("unknown noise channel kind");
    }
    check_launch("unitary_channel kernel launch failed: ");
}

template void apply_unitary_channel<float>(CuComplex<float>*, uint64_t, const CuComplex<float>*, int32_t, float,
                                           const DeviceTargets&);
template void apply_unitary_channel<double>(CuComplex<double>*, uint64_t, const CuComplex<double>*, int32_t, double,
                                            const DeviceTargets&);

}  // namespace velloran::rhosim
