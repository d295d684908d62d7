// The portable half of the interrupt handling: the notice and the shutdown that run when an
// interrupt ends the program. Recording the interrupt and ending the program are the platform
// halves' (platform/posix/interrupt.cpp, platform/win32/interrupt.cpp).
#include "platform/interrupt.h"

#include <cstdio>

#include "platform/shutdown.h"

namespace {

InterruptAction notice = nullptr;

}  // namespace

void SetInterruptNotice(InterruptAction action) {
    notice = action;
}

void RunInterruptActions() {
    // Runs once, even if a second interrupt comes while it runs.
    static bool ran = false;
    if (ran) {
        return;
    }
    ran = true;
    if (notice != nullptr) {
        notice();
    }
    RunShutdown(ShutdownKind::Interrupt, InterruptExitCode());
    std::fflush(stdout);
    std::fflush(stderr);
}
