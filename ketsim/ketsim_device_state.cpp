// DeviceState: allocation, zero state, and blocking copies between host arrays and the device.
#include "ketsim_device_state.h"

#include <stdexcept>

#include "../common/device_allocation.h"

namespace ketsim {

namespace {

uint64_t checked_qubits(uint64_t n) {
    if (n - 1 > 61) throw std::invalid_argument("n must be in [1, 62]");
    return n;
}

}  // namespace

// The byte size refuses sizes that do not fit in 64 bits before anything is allocated.
DeviceState::DeviceState(uint64_t n, Dtype dtype_, int32_t device_id_)
    : num_qubits(checked_qubits(n)),
      num_state(uint64_t{1} << n),
      dtype(dtype_),
      device_id(device_id_),
      allocation(device_id_, byte_size()) {}

void DeviceState::upload(const void* host, uint64_t count, bool use_pinned_host) {
    if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
    velloran::upload_bytes(device_id, device_ptr(), host, byte_size(), use_pinned_host);
}

void DeviceState::download(void* host, uint64_t count, bool use_pinned_host) const {
    if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
    velloran::download_bytes(device_id, host, device_ptr(), byte_size(), use_pinned_host);
}

void DeviceState::set_zero_state() { velloran::fill_basis_zero(device_id, device_ptr(), byte_size(), dtype); }

}  // namespace ketsim
