// Seam: the millisecond clock and the pauses. One implementation per platform
// (platform/posix/clock.cpp, platform/win32/clock.cpp) is the library update_platform_clock; the
// scripted tests link a virtual clock (tests/support/fake_port.cpp) in its place, so that every
// wait and time limit of the program runs on virtual time there.
#pragma once

#include <cstdint>

// Monotonic millisecond clock, 32 bits wide. Elapsed time is always computed as
// `ClockMs() - start` in unsigned 32-bit arithmetic, so a wrap of the clock does no harm.
[[nodiscard]] uint32_t ClockMs();

// Elapsed milliseconds since `start`, wrap-safe.
[[nodiscard]] inline uint32_t ElapsedMs(uint32_t start) {
    return ClockMs() - start;
}

// Pause the thread. SleepMs(0) gives up the rest of the time slice.
void SleepMs(uint32_t ms);
