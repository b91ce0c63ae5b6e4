// The density matrix of an n-qubit register in device memory: a row-major 2^n x 2^n complex matrix
// of one precision on one CUDA device, owned by this object.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/cuda_check.h"
#include "../common/device_allocation.h"

namespace velloran::rhosim {

constexpr uint64_t kMaxDensityQubits = 15;

// Movable, not copyable: copies are made with copy_from. A moved-from object holds no matrix.
class DeviceDensityState {
public:
    // Allocates the matrix on `device_id`; its contents are undefined until written.
    DeviceDensityState(uint64_t n, Dtype dtype, int32_t device_id);
    DeviceDensityState(const DeviceDensityState&) = delete;
    DeviceDensityState& operator=(const DeviceDensityState&) = delete;
    DeviceDensityState(DeviceDensityState&&) noexcept = default;
    DeviceDensityState& operator=(DeviceDensityState&&) noexcept = default;

    void upload(const void* host, uint64_t count, bool use_pinned_host);
    void download(void* host, uint64_t count, bool use_pinned_host) const;
    // |0...0><0...0|: all zeros and entry (0, 0) = 1.
    void set_zero_state();
    // Device-to-device copy of a matrix of the same size and precision into this one.
    void copy_from(const DeviceDensityState& source);

    void* device_ptr() const { return matrix_.get(); }
    const char* dtype_name() const { return velloran::dtype_name(dtype); }
    size_t element_size() const { return velloran::element_size(dtype); }
    size_t byte_size() const { return checked_bytes(num_elements, element_size()); }

    uint64_t num_qubits = 0;
    uint64_t dimension = 0;
    uint64_t num_elements = 0;
    Dtype dtype = Dtype::Complex128;
    int32_t device_id = 0;

private:
    DeviceAllocation matrix_;
};

}  // namespace velloran::rhosim
