// The collective operations a distributed state needs from its process group, as an interface the
// engine calls without knowing which message-passing library sits behind it, and the agreement on
// failures that keeps every rank raising together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>

#include "../common/backend.h"

namespace ketsim::distributed {

// What a communicator's message calls may be given as buffers.
enum class DeviceBuffers {
    // Device memory as well as host memory: the library reads GPU memory itself (CUDA-aware MPI).
    Accepted,
    // Host memory only: device data passes through host staging buffers, unless device memory is
    // host memory in this build.
    HostOnly,
    // Staging buffers always, even where device memory is host memory (the user's choice).
    Staged,
};

class Communicator {
public:
    virtual ~Communicator() = default;
    virtual int rank() const = 0;
    virtual int size() const = 0;
    // The rank of this process among the ranks on its node.
    virtual int node_rank() const = 0;
    // Which memory sendrecv may be given; the same for the communicator's lifetime.
    virtual DeviceBuffers device_buffers() const = 0;
    // Sends `bytes` from `send` to `partner` and receives as many bytes from it into `receive` (a
    // separate buffer): host memory, or device memory where device_buffers() says it is accepted.
    virtual void sendrecv(const void* send, void* receive, size_t bytes, int partner) = 0;
    // Element-wise sum over every rank, left in `data` on every rank.
    virtual void allreduce_sum(double* data, size_t count) = 0;
    // `bytes` from `root` copied into `buffer` on every other rank.
    virtual void broadcast(void* buffer, size_t bytes, int root) = 0;
    // Rank r's `bytes` from `send` land at recv + r * bytes on every rank.
    virtual void allgather(const void* send, size_t bytes, void* recv) = 0;
    // Whether `flag` is set on any rank: the agreement every rank reaches before a step that would
    // leave ranks waiting on one that failed.
    virtual bool any(bool flag) = 0;
};

// Whether exchanges hand the communicator the device memory itself: where it reads device memory,
// or where device memory is host memory and staging is not asked for. Otherwise each message
// passes through a page-locked host buffer.
inline bool sends_device_memory(const Communicator& comm) {
    switch (comm.device_buffers()) {
        case DeviceBuffers::Accepted: return true;
        case DeviceBuffers::HostOnly: return velloran::kDeviceMemoryIsHostMemory;
        case DeviceBuffers::Staged: return false;
    }
    return false;
}

// The message every rank raises when the operation failed on some other rank only.
inline constexpr const char* kFailedElsewhere = "DistributedState operation failed on another rank";

// Runs f on this rank and agrees with every rank on whether any failed: rethrows this rank's own
// exception, or throws std::runtime_error(kFailedElsewhere) when only other ranks failed.
template <class F>
void run_agreed(Communicator& comm, F&& f) {
    std::exception_ptr error;
    try {
        f();
    } catch (...) {
        error = std::current_exception();
    }
    if (comm.any(error != nullptr)) {
        if (error) std::rethrow_exception(error);
        throw std::runtime_error(kFailedElsewhere);
    }
}

}  // namespace ketsim::distributed
