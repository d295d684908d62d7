// The portable half of the interrupt handling: the notice and the clean-ups that run when an
// interrupt ends the program. Recording the interrupt and ending the program are the platform
// halves' (platform/posix/interrupt.cpp, platform/win32/interrupt.cpp).
#include "platform/interrupt.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

InterruptAction notice = nullptr;
std::array<InterruptAction, 8> cleanups{};
std::size_t cleanupCount = 0;

}  // namespace

void SetInterruptNotice(InterruptAction action) {
    notice = action;
}

void AddInterruptCleanup(InterruptAction cleanup) {
    const auto registered = cleanups.begin() + static_cast<std::ptrdiff_t>(cleanupCount);
    if (cleanup == nullptr || std::find(cleanups.begin(), registered, cleanup) != registered ||
        cleanupCount == cleanups.size()) {
        return;
    }
    cleanups[cleanupCount++] = cleanup;
}

void RunInterruptActions() {
    // Each action runs once, even if a second interrupt comes while they run.
    static bool ran = false;
    if (ran) {
        return;
    }
    ran = true;
    if (notice != nullptr) {
        notice();
    }
    for (std::size_t i = 0; i < cleanupCount; ++i) {
        cleanups[i]();
    }
    std::fflush(stdout);
    std::fflush(stderr);
}
