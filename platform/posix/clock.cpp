// Placeholder until this part is built.
#include "platform/platform.h"

uint32_t ClockMs() {
    return 0;
}
void SleepMs(uint32_t) {}
