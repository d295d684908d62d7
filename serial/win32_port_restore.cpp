// The settings of the open ports as found, and giving them back, on Windows: the DCB record and
// the time-outs.
#include <windows.h>

#include <array>
#include <cstdlib>

#include "platform/interrupt.h"
#include "serial/line_trace.h"
#include "serial/port_restore.h"

namespace {

struct SavedPort {
    SerialLink link = InvalidLink;
    DCB state{};
    COMMTIMEOUTS timeouts{};
};

std::array<SavedPort, 8> savedPorts{};

SavedPort* FindSaved(SerialLink link) {
    for (auto& entry : savedPorts) {
        if (entry.link == link) {
            return &entry;
        }
    }
    return nullptr;
}

// How long queued output may take to go out before the settings change under it.
constexpr DWORD OutputGraceMs = 500;
constexpr DWORD OutputPollMs = 2;
// The bytes the driver has passed on still sit in the transmitter's FIFO, or in the buffer of
// a USB adapter, which no queue count shows: they get this long at the old settings.
constexpr DWORD SettleMs = 100;

// Waits until the output queue is empty, at most OutputGraceMs. False when output is still
// queued then (the line does not take it). Plain pauses: this also runs while an interrupt
// ends the program.
bool LetOutputGo(SerialLink link) {
    const DWORD start = GetTickCount();
    for (;;) {
        uint32_t queued = 0;
        if (PortOutputQueued(link, queued) == 0 || queued == 0) {
            return true;
        }
        if (GetTickCount() - start >= OutputGraceMs) {
            return false;
        }
        Sleep(OutputPollMs);
    }
}

void GiveBack(SavedPort& entry, bool letOutputGo) {
    HANDLE handle = reinterpret_cast<HANDLE>(entry.link);
    if (letOutputGo && LetOutputGo(entry.link)) {
        Sleep(SettleMs);
    } else {
        // What has not gone out is dropped: neither the settings nor the close may wait on a
        // line that does not take it.
        PurgeComm(handle, PURGE_TXABORT | PURGE_TXCLEAR);
    }
    SetCommState(handle, &entry.state);
    SetCommTimeouts(handle, &entry.timeouts);
    TraceLineEvent("restored", "the port's settings as found");
    entry = {};
}

void GiveBackAll(bool letOutputGo) {
    for (auto& entry : savedPorts) {
        if (entry.link != InvalidLink) {
            GiveBack(entry, letOutputGo);
        }
    }
}

void GiveBackAllAtExit() {
    GiveBackAll(true);
}

// The box is to be switched off anyway: what is still queued for it is not waited for.
void GiveBackAllAtInterrupt() {
    GiveBackAll(false);
}

}  // namespace

void RememberPortSettings(SerialLink link) {
    SavedPort* entry = FindSaved(link);
    if (entry == nullptr) {
        entry = FindSaved(InvalidLink);
    }
    if (entry == nullptr || link == InvalidLink) {
        return;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(link);
    DCB state{};
    state.DCBlength = sizeof(DCB);
    COMMTIMEOUTS timeouts{};
    if (!GetCommState(handle, &state) || !GetCommTimeouts(handle, &timeouts)) {
        return;
    }
    *entry = {link, state, timeouts};

    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(GiveBackAllAtExit);
        AddInterruptCleanup(GiveBackAllAtInterrupt);
    }
}

void RestorePortSettings(SerialLink link) {
    if (SavedPort* entry = FindSaved(link); entry != nullptr && link != InvalidLink) {
        GiveBack(*entry, true);
    }
}
