// Device memory owned together with the device it lives on: selected before it is allocated and
// again before it is freed, and the blocking transfers and the basis-state fill that the device
// state classes of both modules perform on such an allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "cuda_check.h"
#include "device_buffer.h"

namespace velloran {

class DeviceAllocation {
public:
    DeviceAllocation() = default;
    // Selects the device and allocates `bytes` there; throws the CUDA error on failure.
    DeviceAllocation(int32_t device_id, size_t bytes) : device_id_(device_id) {
        check_cuda(cudaSetDevice(device_id));
        check_cuda(cudaMalloc(&ptr_, bytes));
    }
    DeviceAllocation(const DeviceAllocation&) = delete;
    DeviceAllocation& operator=(const DeviceAllocation&) = delete;
    DeviceAllocation(DeviceAllocation&& other) noexcept
        : ptr_(std::exchange(other.ptr_, nullptr)), device_id_(other.device_id_) {}
    // Frees this allocation on its own device first, then takes the other one over.
    DeviceAllocation& operator=(DeviceAllocation&& other) noexcept {
        if (this != &other) {
            release();
            ptr_ = std::exchange(other.ptr_, nullptr);
            device_id_ = other.device_id_;
        }
        return *this;
    }
    ~DeviceAllocation() { release(); }

    void* get() const { return ptr_; }

private:
    void release() noexcept {
        if (!ptr_) return;
        (void)cudaSetDevice(device_id_);
        (void)cudaFree(ptr_);
        ptr_ = nullptr;
    }

    void* ptr_ = nullptr;
    int32_t device_id_ = 0;
};

// Blocking copy of `bytes` between a host buffer and device memory on `device_id`.
inline void upload_bytes(int32_t device_id, void* device, const void* host, size_t bytes, bool use_pinned_host) {
    check_cuda(cudaSetDevice(device_id));
    copy_with_registration(device, host, bytes, cudaMemcpyHostToDevice, const_cast<void*>(host), use_pinned_host);
}

inline void download_bytes(int32_t device_id, void* host, const void* device, size_t bytes, bool use_pinned_host) {
    check_cuda(cudaSetDevice(device_id));
    copy_with_registration(host, device, bytes, cudaMemcpyDeviceToHost, host, use_pinned_host);
}

// All zeros, then 1 + 0i in element 0: the basis state |0...0> (or |0...0><0...0|).
inline void fill_basis_zero(int32_t device_id, void* device, size_t bytes, Dtype dtype) {
    check_cuda(cudaSetDevice(device_id));
    check_cuda(cudaMemset(device, 0, bytes));
    if (dtype == Dtype::Complex64) {
        const float one[2] = {1.0f, 0.0f};
        check_cuda(cudaMemcpy(device, one, sizeof one, cudaMemcpyHostToDevice));
    } else {
        const double one[2] = {1.0, 0.0};
        check_cuda(cudaMemcpy(device, one, sizeof one, cudaMemcpyHostToDevice));
    }
}

}  // namespace velloran
