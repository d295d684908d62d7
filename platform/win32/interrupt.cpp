// Interrupts on Windows: Ctrl-C, Ctrl-Break and closing the console window. The console handler
// runs on a thread of its own; it records the event and sets an event object that the waits of
// the platform watch, so the main thread notices the interrupt within 100 ms and ends the
// program in normal context with exit code 1. The handler then waits (bounded) until the main
// thread has run its clean-ups: when the console window is being closed, the system ends the
// process as soon as the handler returns, and a handler thread still on its way out while the
// process ends can hold up the end (under Wine such a run once ended killed, not with 1).
#include <windows.h>

#include "platform/interrupt.h"

namespace {

// The recorded console event plus 1 (0: none).
volatile LONG recordedEvent = 0;
HANDLE wakeEvent = nullptr;
HANDLE cleanupsDone = nullptr;
bool ending = false;

// The system ends a process about 5 s after the close event; the clean-ups take far less.
constexpr DWORD CleanupWaitMs = 4000;

BOOL WINAPI OnConsoleEvent(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            InterlockedCompareExchange(&recordedEvent, static_cast<LONG>(type) + 1, 0);
            SetEvent(wakeEvent);
            WaitForSingleObject(cleanupsDone, CleanupWaitMs);
            return TRUE;
        default:
            return FALSE;
    }
}

}  // namespace

void InstallInterruptHandlers() {
    if (wakeEvent != nullptr) {
        return;
    }
    wakeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    cleanupsDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (wakeEvent == nullptr || cleanupsDone == nullptr) {
        return;  // without the events the interrupts keep their default action
    }
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

bool InterruptRecorded() {
    return recordedEvent != 0;
}

void CheckInterrupt() {
    if (recordedEvent != 0 && !ending) {
        EndByInterrupt();
    }
}

void EndByInterrupt() {
    ending = true;
    RunInterruptActions();
    if (cleanupsDone != nullptr) {
        SetEvent(cleanupsDone);
    }
    ExitProcess(1);
}

int InterruptExitCode() {
    return 1;
}

void* InterruptEvent() {
    return wakeEvent;
}
