// DeviceState: allocation, zero state, and blocking copies between host arrays and the device.
#include "ketsim_device_state.h"

#include <stdexcept>
#include <utility>

#include "../common/device_allocation.h"

namespace ketsim {

using velloran::check_cuda;

DeviceState::DeviceState(uint64_t n, Dtype dtype_, int32_t device_id_) : num_qubits(n), dtype(dtype_), device_id(device_id_) {
    if (n - 1 > 61) throw std::invalid_argument("n must be in [1, 62]");
    num_state = uint64_t{1} << n;
    check_cuda(cudaSetDevice(device_id));
    // byte_size() refuses sizes that do not fit in 64 bits before anything is allocated.
    const size_t bytes = byte_size();
    check_cuda(cudaMalloc(&device_ptr, bytes));
}

DeviceState::DeviceState(DeviceState&& other) noexcept
    : num_qubits(other.num_qubits),
      num_state(other.num_state),
      dtype(other.dtype),
      device_id(other.device_id),
      device_ptr(std::exchange(other.device_ptr, nullptr)) {}

DeviceState& DeviceState::operator=(DeviceState&& other) noexcept {
    if (this != &other) {
        release();
        num_qubits = other.num_qubits;
        num_state = other.num_state;
        dtype = other.dtype;
        device_id = other.device_id;
        device_ptr = std::exchange(other.device_ptr, nullptr);
    }
    return *this;
}

DeviceState::~DeviceState() { release(); }

void DeviceState::release() noexcept {
    if (!device_ptr) return;
    (void)cudaSetDevice(device_id);
    (void)cudaFree(device_ptr);
    device_ptr = nullptr;
}

void DeviceState::upload(const void* host, uint64_t count, bool use_pinned_host) {
    if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
    velloran::upload_bytes(device_id, device_ptr, host, byte_size(), use_pinned_host);
}

void DeviceState::download(void* host, uint64_t count, bool use_pinned_host) const {
    if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
    velloran::download_bytes(device_id, host, device_ptr, byte_size(), use_pinned_host);
}

void DeviceState::set_zero_state() { velloran::fill_basis_zero(device_id, device_ptr, byte_size(), dtype); }

}  // namespace ketsim
