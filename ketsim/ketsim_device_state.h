// The state vector of an n-qubit register in device memory, and the checks of NumPy state arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "../common/device_allocation.h"

namespace ketsim {

using velloran::Dtype;

class DeviceState {
public:
    // Not copyable; a move takes the allocation over (a move-assigned target first frees its own
    // on its own device), which the allocation member provides.
    DeviceState(uint64_t n, Dtype dtype, int32_t device_id);

    void upload(const void* host, uint64_t count, bool use_pinned_host);
    void download(void* host, uint64_t count, bool use_pinned_host) const;
    void set_zero_state();

    const char* dtype_name() const { return velloran::dtype_name(dtype); }
    size_t element_size() const { return velloran::element_size(dtype); }
    size_t byte_size() const { return velloran::checked_bytes(num_state, element_size()); }

    uint64_t num_qubits = 0;
    uint64_t num_state = 0;
    Dtype dtype = Dtype::Complex128;
    int32_t device_id = 0;
    velloran::DeviceAllocation allocation;

    void* device_ptr() const { return allocation.get(); }
};

}  // namespace ketsim
