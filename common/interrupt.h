// Cancellation points for long host loops. The calling thread installs a hook (the Python bindings
// install one that checks for pending signals); loops call poll_interrupt() between units of work
// that leave the state valid (whole gates, whole operations, batches of shots), and the hook stops
// the call by throwing. Polls are rate-limited, so a hot loop pays one clock read per poll.
#pragma once

#include <chrono>
#include <cstdint>

namespace velloran {

using InterruptHook = void (*)();

// How often the hook runs at most; long calls see a request within about this long after the
// current unit of work ends.
inline constexpr std::chrono::milliseconds kInterruptPollInterval{50};

struct InterruptPoller {
    InterruptHook hook = nullptr;
    std::chrono::steady_clock::time_point next_poll{};
};

inline thread_local InterruptPoller interrupt_poller;

inline void poll_interrupt() {
    InterruptPoller& poller = interrupt_poller;
    if (poller.hook == nullptr) return;
    const auto now = std::chrono::steady_clock::now();
    if (now < poller.next_poll) return;
    poller.next_poll = now + kInterruptPollInterval;
    poller.hook();
}

// For loops whose units are tiny (one shot): polls once every 4096 calls.
inline void poll_interrupt_every(uint64_t iteration) {
    if ((iteration & 4095) == 0) poll_interrupt();
}

// Installs `hook` on this thread for the scope's lifetime; the previous hook comes back after it.
class InterruptScope {
public:
    explicit InterruptScope(InterruptHook hook) : previous_(interrupt_poller) {
        interrupt_poller.hook = hook;
        interrupt_poller.next_poll = std::chrono::steady_clock::now() + kInterruptPollInterval;
    }
    ~InterruptScope() { interrupt_poller = previous_; }
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptPoller previous_;
};

}  // namespace velloran
