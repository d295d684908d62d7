// Millisecond clock and pauses on Windows.
#include <windows.h>

#include "platform/clock.h"
#include "platform/interrupt.h"

uint32_t ClockMs() {
    return static_cast<uint32_t>(timeGetTime());
}

void SleepMs(uint32_t ms) {
    // The pause is a wait for the interrupt event with a time limit: an interrupt ends it (and
    // the program) at once.
    HANDLE interrupt = static_cast<HANDLE>(InterruptEvent());
    if (ms == 0 || interrupt == nullptr || InterruptRecorded()) {
        Sleep(ms);
    } else {
        WaitForSingleObject(interrupt, ms);
    }
    CheckInterrupt();
}
