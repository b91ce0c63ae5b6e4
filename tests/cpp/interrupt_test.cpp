// The cancellation points of long host loops: the hook runs at most once per poll interval, a
// scope restores the hook it replaced, and a throwing hook stops the loop that polls.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

#include "common/interrupt.h"

namespace {

int hook_calls = 0;
void count_call() { ++hook_calls; }
void stop_call() { throw std::runtime_error("stopped"); }

TEST(Interrupt, NoHookMeansNoPolling) {
    hook_calls = 0;
    for (int i = 0; i < 1000; ++i) velloran::poll_interrupt();
    EXPECT_EQ(hook_calls, 0);
}

TEST(Interrupt, HookRunsOncePerInterval) {
    hook_calls = 0;
    const velloran::InterruptScope scope(&count_call);
    for (int i = 0; i < 1000; ++i) velloran::poll_interrupt();
    EXPECT_EQ(hook_calls, 0);  // the first poll is due one interval after the scope starts
    std::this_thread::sleep_for(velloran::kInterruptPollInterval * 2);
    for (int i = 0; i < 1000; ++i) velloran::poll_interrupt();
    EXPECT_EQ(hook_calls, 1);
}

TEST(Interrupt, BatchedPollsSkipAllButEvery4096th) {
    hook_calls = 0;
    const velloran::InterruptScope scope(&count_call);
    std::this_thread::sleep_for(velloran::kInterruptPollInterval * 2);
    for (uint64_t i = 1; i < 4096; ++i) velloran::poll_interrupt_every(i);
    EXPECT_EQ(hook_calls, 0);
    velloran::poll_interrupt_every(4096);
    EXPECT_EQ(hook_calls, 1);
}

TEST(Interrupt, ScopesNestAndRestore) {
    hook_calls = 0;
    {
        const velloran::InterruptScope outer(&count_call);
        {
            const velloran::InterruptScope inner(&stop_call);
            std::this_thread::sleep_for(velloran::kInterruptPollInterval * 2);
            EXPECT_THROW(velloran::poll_interrupt(), std::runtime_error);
        }
        EXPECT_EQ(velloran::interrupt_poller.hook, &count_call);
        {
            const velloran::InterruptScope none(nullptr);  // a thread that has nothing to poll
            std::this_thread::sleep_for(velloran::kInterruptPollInterval * 2);
            velloran::poll_interrupt();
        }
    }
    EXPECT_EQ(velloran::interrupt_poller.hook, nullptr);
    EXPECT_EQ(hook_calls, 0);
}

TEST(Interrupt, HooksBelongToTheirThread) {
    const velloran::InterruptScope scope(&stop_call);
    std::thread other([] {
        std::this_thread::sleep_for(velloran::kInterruptPollInterval * 2);
        EXPECT_NO_THROW(velloran::poll_interrupt());
    });
    other.join();
}

}  // namespace
