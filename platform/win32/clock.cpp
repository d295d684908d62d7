// Millisecond clock and pauses on Windows.
#include <windows.h>

#include "platform/clock.h"

uint32_t ClockMs() {
    return static_cast<uint32_t>(timeGetTime());
}

void SleepMs(uint32_t ms) {
    Sleep(ms);
}
