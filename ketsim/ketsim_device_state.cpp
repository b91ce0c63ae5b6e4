// DeviceState: allocation, zero state, and blocking copies between host arrays and the device.
#include "ketsim_device_state.h"

#include <stdexcept>
#include <utility>

#include "../common/device_buffer.h"

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
    check_cuda(cudaSetDevice(device_id));
    velloran::copy_with_registration(device_ptr, host, byte_size(), cudaMemcpyHostToDevice, const_cast<void*>(host),
                                     use_pinned_host);
}

void DeviceState::download(void* host, uint64_t count, bool use_pinned_host) const {
    if (count != num_state) throw std::invalid_argument("state size does not match DeviceState size");
    check_cuda(cudaSetDevice(device_id));
    velloran::copy_with_registration(host, device_ptr, byte_size(), cudaMemcpyDeviceToHost, host, use_pinned_host);
}

void DeviceState::set_zero_state() {
    check_cuda(cudaSetDevice(device_id));
    check_cuda(cudaMemset(device_ptr, 0, byte_size()));
    if (dtype == Dtype::Complex64) {
        const float one[2] = {1.0f, 0.0f};
        check_cuda(cudaMemcpy(device_ptr, one, sizeof one, cudaMemcpyHostToDevice));
    } else {
        const double one[2] = {1.0, 0.0};
        check_cuda(cudaMemcpy(device_ptr, one, sizeof one, cudaMemcpyHostToDevice));
    }
}

}  // namespace ketsim
