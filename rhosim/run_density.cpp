// The density operation runner: prepares every operation, uploads all matrices in one transfer,
// launches the operations in list order (or the fused groups of the plan) and waits for the device.
#include "run_density.h"

#include <cstdlib>
#include <stdexcept>
#include <type_traits>

#include "../common/device_buffer.h"
#include "../common/interrupt.h"
#include "density_fusion.h"
#include "rhosim_launchers.h"

namespace velloran::rhosim {

namespace {

template <typename T>
CuComplex<T> to_device_complex(std::complex<double> v) {
    return CuComplex<T>{static_cast<T>(v.real()), static_cast<T>(v.imag())};
}

// Launches one prepared operation alone; skipped operations never reach here.
template <typename T>
void dispatch(CuComplex<T>* rho, uint64_t dim, const PreparedDensityOp& op, const CuComplex<T>* pool) {
    if (op.is_permutation) {
        apply_permutation<T>(rho, dim, op.flip_mask, op.control_mask, op.control_value, op.is_swap);
    } else if (op.is_diagonal) {
        apply_diagonal<T>(rho, dim, op.target_mask, op.control_mask, op.control_value,
                          to_device_complex<T>(op.diag0), to_device_complex<T>(op.diag1));
    } else if (op.is_channel) {
        apply_channel<T>(rho, dim, op.target_mask, op.channel_kind, static_cast<T>(op.channel_parameter));
    } else if (op.is_kraus) {
        apply_kraus<T>(rho, dim, op.matrix_count, pool + op.matrix_offset, op.targets);
    } else {
        apply_unitary<T>(rho, dim, op.control_mask, op.control_value, pool + op.matrix_offset, op.targets);
    }
}

// A general one-target unitary without controls directly followed by a built-in channel on the same
// qubit: the pair runs as one unitary-then-channel pass.
bool fuses_with_channel(const PreparedDensityOp& unitary, const PreparedDensityOp& next) {
    return unitary.is_general_unitary() && unitary.targets.count == 1 && unitary.control_mask == 0 &&
           next.is_channel && !next.skip && next.target_mask == (uint64_t{1} << unitary.targets.targets[0]);
}

// The operations of a group on one qubit, pairing unitaries with the channel that follows them.
template <typename T>
void run_one_qubit_group(CuComplex<T>* rho, uint64_t dim, const std::vector<int64_t>& group,
                         const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* pool) {
    for (size_t k = 0; k < group.size(); ++k) {
        const PreparedDensityOp& op = prepared[group[k]];
        if (op.skip) continue;
        if (k + 1 < group.size() && fuses_with_channel(op, prepared[group[k + 1]])) {
            const PreparedDensityOp& channel = prepared[group[k + 1]];
            apply_unitary_channel<T>(rho, dim, pool + op.matrix_offset, channel.channel_kind,
                                     static_cast<T>(channel.channel_parameter), op.targets);
            ++k;
        } else {
            dispatch<T>(rho, dim, op, pool);
        }
    }
}

template <typename T>
DeviceDensityGate<T> device_record(const DeviceDensityGate<double>& g) {
    if constexpr (std::is_same_v<T, double>) {
        return g;
    } else {
        return to_float_record(g);
    }
}

// Plans the groups, uploads every fused group's gate records at once and runs the groups in order.
template <typename T>
void execute_fused(CuComplex<T>* rho, uint64_t n, const std::vector<DensityOperation>& ops,
                   const std::vector<PreparedDensityOp>& prepared, const CuComplex<T>* pool, int64_t max_active,
                   DeviceBuffer<DeviceDensityGate<T>>& device_gates) {
    const uint64_t dim = uint64_t{1} << n;
    DensityFusionSettings settings;
    settings.max_active = max_active;
    const std::vector<DensityGroup> plan = plan_density_fusion(ops, n, settings);

    std::vector<DeviceDensityGate<T>> records;
    std::vector<size_t> first_record(plan.size(), 0);
    for (size_t g = 0; g < plan.size(); ++g) {
        if (plan[g].kind != kGroupFused) continue;
        first_record[g] = records.size();
        for (const DeviceDensityGate<double>& record : plan[g].gates) records.push_back(device_record<T>(record));
    }
    if (!records.empty()) {
        device_gates = DeviceBuffer<DeviceDensityGate<T>>(records.size());
        check_cuda(cudaMemcpy(device_gates.get(), records.data(),
                              checked_bytes(records.size(), sizeof(DeviceDensityGate<T>)), cudaMemcpyHostToDevice));
    }
    for (size_t g = 0; g < plan.size(); ++g) {
        poll_interrupt();  // between groups: each group runs whole or not at all
        const DensityGroup& group = plan[g];
        if (group.kind == kGroupFused) {
            uint64_t active_mask = 0;
            for (const int64_t q : group.active) active_mask |= uint64_t{1} << q;
            launch_fused<T>(dim, rho, active_mask, static_cast<int64_t>(group.active.size()),
                            device_gates.get() + first_record[g], static_cast<int64_t>(group.gates.size()));
        } else if (group.kind == kGroupOneQubit) {
            run_one_qubit_group<T>(rho, dim, group.operations, prepared, pool);
        } else {
            for (const int64_t index : group.operations) {
                if (!prepared[index].skip) dispatch<T>(rho, dim, prepared[index], pool);
            }
        }
    }
}

template <typename T>
void execute(DeviceDensityState& state, const std::vector<DensityOperation>& ops, bool fusion) {
    const uint64_t n = state.num_qubits;
    const uint64_t dim = state.dimension;
    auto* rho = static_cast<CuComplex<T>*>(state.device_ptr());

    std::vector<PreparedDensityOp> prepared;
    prepared.reserve(ops.size());
    std::vector<CuComplex<T>> pool;
    for (const DensityOperation& op : ops) prepared.push_back(prepare_operation<T>(op, n, pool));

    DeviceBuffer<CuComplex<T>> device_pool;
    DeviceBuffer<DeviceDensityGate<T>> device_gates;
    try {
        if (!pool.empty()) {
            device_pool = DeviceBuffer<CuComplex<T>>(pool.size());
            check_cuda(cudaMemcpy(device_pool.get(), pool.data(), checked_bytes(pool.size(), sizeof(CuComplex<T>)),
                                  cudaMemcpyHostToDevice));
        }
        const int64_t max_active = max_active_qubits(n);
        if (fusion && max_active >= 1) {
            execute_fused<T>(rho, n, ops, prepared, device_pool.get(), max_active, device_gates);
        } else {
            for (const PreparedDensityOp& op : prepared) {
                poll_interrupt();  // between operations: a stopped run leaves whole operations applied
                if (!op.skip) dispatch<T>(rho, dim, op, device_pool.get());
            }
        }
        check_cuda(cudaDeviceSynchronize());
        device_gates.free_checked();
        device_pool.free_checked();
    } catch (...) {
        // Kernels queued before the failure may still read these buffers: wait before freeing them.
        if (device_pool.get() || device_gates.get()) (void)cudaDeviceSynchronize();
        throw;
    }
}

}  // namespace

bool density_fusion_enabled() {
    const char* value = std::getenv("VELLORAN_DENSITY_FUSION");
    return value != nullptr && value[0] != '\0' && value[0] != '0';
}

void run_density_operations(DeviceDensityState& state, int64_t num_qubits, const std::vector<DensityOperation>& ops) {
    if (num_qubits < 0 || static_cast<uint64_t>(num_qubits) != state.num_qubits) {
        throw std::invalid_argument("num_qubits does not match DeviceDensityState");
    }
    check_cuda(cudaSetDevice(state.device_id));
    const bool fusion = density_fusion_enabled();
    if (state.dtype == Dtype::Complex128) {
        execute<double>(state, ops, fusion);
    } else {
        execute<float>(state, ops, fusion);
    }
}

}  // namespace velloran::rhosim
