// The collective operations a distributed state needs from its process group, as an interface the
// engine calls without knowing which message-passing library sits behind it, and the agreement on
// failures that keeps every rank raising together.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>

namespace ketsim::distributed {

class Communicator {
public:
    virtual ~Communicator() = default;
    virtual int rank() const = 0;
    virtual int size() const = 0;
    // The rank of this process among the ranks on its node.
    virtual int node_rank() const = 0;
    // Sends `bytes` from host memory `buffer` to `partner` and receives as many bytes from it into
    // the same memory.
    virtual void sendrecv_replace(void* buffer, size_t bytes, int partner) = 0;
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
