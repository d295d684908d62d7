// Millisecond clock and pauses on POSIX.
#include <sched.h>

#include <climits>
#include <cstdint>
#include <ctime>

#include "platform/clock.h"
#include "platform/interrupt.h"

namespace {

uint64_t MonotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

uint32_t ClockMs() {
    // The monotonic clock is not moved by changes of the wall-clock time. Only the low 32 bits
    // of the millisecond count are kept; every user takes differences in unsigned 32-bit
    // arithmetic, so the wrap after 49.7 days does no harm.
    return static_cast<uint32_t>(MonotonicNs() / 1000000u);
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        CheckInterrupt();
        return;
    }
    // The pause is a wait for an interrupt with a time limit: an interrupt ends it (and the
    // program) at once, any other signal only interrupts the wait, which goes on for the rest.
    const uint64_t deadline = MonotonicNs() + uint64_t{ms} * 1000000u;
    for (uint64_t now = MonotonicNs(); now < deadline; now = MonotonicNs()) {
        const uint64_t leftMs = (deadline - now + 999999u) / 1000000u;
        short revents = 0;
        (void)PollOrInterrupt(-1, 0, leftMs > INT_MAX ? INT_MAX : static_cast<int>(leftMs),
                              revents);
    }
}
