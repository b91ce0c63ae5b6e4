// Scope-bound owners of device memory and of page-locked host registrations, so every exit path
// releases what was taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "cuda_check.h"

namespace velloran {

template <typename T>
class DeviceBuffer {
public:
    DeviceBuffer() = default;
    // Allocates `count` elements on the current device; throws the CUDA error on failure.
    explicit DeviceBuffer(uint64_t count) {
        const size_t bytes = checked_bytes(count, sizeof(T));
        void* p = nullptr;
        check_cuda(cudaMalloc(&p, bytes));
        ptr_ = static_cast<T*>(p);
        count_ = count;
    }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;
    DeviceBuffer(DeviceBuffer&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)), count_(other.count_) {}
    DeviceBuffer& operator=(DeviceBuffer&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
            count_ = other.count_;
        }
        return *this;
    }
    ~DeviceBuffer() { reset(); }

    // Frees now and reports the status (a destructor ignores it).
    void free_checked() {
        T* p = std::exchange(ptr_, nullptr);
        if (p) check_cuda(cudaFree(p));
    }
    void reset() noexcept {
        if (ptr_) (void)cudaFree(ptr_);
        ptr_ = nullptr;
    }
    T* get() const { return ptr_; }
    uint64_t size() const { return count_; }

private:
    T* ptr_ = nullptr;
    uint64_t count_ = 0;
};

// Page-locks a caller's buffer for one copy. A refused registration is not an error: the copy
// then runs pageable, and the runtime's error state is cleared.
class HostRegistration {
public:
    HostRegistration(void* ptr, size_t bytes, bool enabled) {
        if (!enabled) return;
        if (cudaHostRegister(ptr, bytes, cudaHostRegisterDefault) == cudaSuccess) {
            ptr_ = ptr;
        } else {
            (void)cudaGetLastError();
        }
    }
    HostRegistration(const HostRegistration&) = delete;
    HostRegistration& operator=(const HostRegistration&) = delete;
    ~HostRegistration() {
        if (ptr_) (void)cudaHostUnregister(ptr_);
    }
    // Unregisters now, reporting a failure.
    void release_checked() {
        void* p = std::exchange(ptr_, nullptr);
        if (p) check_cuda(cudaHostUnregister(p));
    }

private:
    void* ptr_ = nullptr;
};

// One blocking copy between a host buffer and device memory, pinned on request.
inline void copy_with_registration(void* dst, const void* src, size_t bytes, cudaMemcpyKind kind, void* host,
                                   bool use_pinned_host) {
    HostRegistration registration(host, bytes, use_pinned_host);
    check_cuda(cudaMemcpy(dst, src, bytes, kind));
    registration.release_checked();
}

}  // namespace velloran
