// DeviceDensityState: allocation, the pure zero state, device copies and blocking transfers
// between host buffers and the device.
#include "rhosim_device_state.h"

#include <stdexcept>

namespace velloran::rhosim {

namespace {

uint64_t checked_qubits(uint64_t n) {
    if (n > kMaxDensityQubits) {
        throw std::invalid_argument("num_qubits must be in [0, 15] for the GPU density backend");
    }
    return n;
}

}  // namespace

DeviceDensityState::DeviceDensityState(uint64_t n, Dtype dtype_, int32_t device_id_)
    : num_qubits(checked_qubits(n)),
      dimension(uint64_t{1} << n),
      num_elements(dimension << n),
      dtype(dtype_),
      device_id(device_id_),
      matrix_(device_id_, byte_size()) {}

void DeviceDensityState::upload(const void* host, uint64_t count, bool use_pinned_host) {
    if (count != num_elements) throw std::invalid_argument("state size does not match DeviceDensityState size");
    upload_bytes(device_id, matrix_.get(), host, byte_size(), use_pinned_host);
}

void DeviceDensityState::download(void* host, uint64_t count, bool use_pinned_host) const {
    if (count != num_elements) throw std::invalid_argument("state size does not match DeviceDensityState size");
    download_bytes(device_id, host, matrix_.get(), byte_size(), use_pinned_host);
}

void DeviceDensityState::set_zero_state() { fill_basis_zero(device_id, matrix_.get(), byte_size(), dtype); }

void DeviceDensityState::copy_from(const DeviceDensityState& source) {
    if (source.num_elements != num_elements || source.dtype != dtype) {
        throw std::invalid_argument("state size does not match DeviceDensityState size");
    }
    check_cuda(cudaSetDevice(source.device_id));
    check_cuda(cudaMemcpy(matrix_.get(), source.matrix_.get(), byte_size(), cudaMemcpyDeviceToDevice));
}

}  // namespace velloran::rhosim
