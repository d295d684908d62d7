// Millisecond clock and pauses on POSIX.
#include <cerrno>
#include <ctime>

#include <sched.h>

#include "platform/clock.h"

uint32_t ClockMs() {
    // The monotonic clock is not moved by changes of the wall-clock time. Only the low 32 bits
    // of the millisecond count are kept; every user takes differences in unsigned 32-bit
    // arithmetic, so the wrap after 49.7 days does no harm.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const uint64_t ms =
        static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
    return static_cast<uint32_t>(ms);
}

void SleepMs(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec wanted{};
    wanted.tv_sec = static_cast<time_t>(ms / 1000u);
    wanted.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    timespec left{};
    // A signal cuts the pause short; sleep on for the rest of it.
    while (nanosleep(&wanted, &left) != 0 && errno == EINTR) {
        wanted = left;
    }
}
