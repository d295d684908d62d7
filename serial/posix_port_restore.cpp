// The settings of the open ports as found, and giving them back, on POSIX: the termios record
// and the DTR and RTS lines.
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <array>
#include <cstdlib>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "serial/line_trace.h"
#include "serial/port_restore.h"

namespace {

struct SavedPort {
    int fd = -1;
    termios settings{};
    bool modemLinesKnown = false;  // a pseudo-terminal has none
    int modemLines = 0;
};

std::array<SavedPort, 16> savedPorts{};

SavedPort* FindSaved(int fd) {
    for (auto& entry : savedPorts) {
        if (entry.fd == fd) {
            return &entry;
        }
    }
    return nullptr;
}

// How long queued output may take to go out before the settings change under it.
constexpr uint32_t OutputGraceMs = 500;
constexpr int OutputPollMs = 2;
// The bytes the driver has passed on still sit in the transmitter's FIFO, or in the buffer of
// a USB adapter, which no queue count shows: they get this long at the old settings.
constexpr int SettleMs = 100;

// A plain pause: this also runs while an interrupt ends the program.
void Pause(int ms) {
    poll(nullptr, 0, ms);
}

// Waits until the port's output has gone (the queue the port reports, as a write limit sees
// it), at most OutputGraceMs. False when output is still queued then (the line does not take
// it: a dead line, a handshake that holds it back).
bool LetOutputGo(int fd) {
    const uint32_t start = ClockMs();
    uint32_t queued = 0;
    while (PortOutputQueued(static_cast<SerialLink>(fd), queued) != 0 && queued > 0) {
        if (ElapsedMs(start) >= OutputGraceMs) {
            return false;
        }
        Pause(OutputPollMs);
    }
    return true;
}

void GiveBack(SavedPort& entry, bool letOutputGo) {
    if (letOutputGo && LetOutputGo(entry.fd)) {
        Pause(SettleMs);
    } else {
        // What has not gone out is dropped: neither the new settings nor the close of the
        // device may wait on a line that does not take it.
        tcflush(entry.fd, TCOFLUSH);
    }
    tcsetattr(entry.fd, TCSANOW, &entry.settings);
    if (entry.modemLinesKnown) {
        int raise = entry.modemLines & (TIOCM_DTR | TIOCM_RTS);
        int drop = ~entry.modemLines & (TIOCM_DTR | TIOCM_RTS);
        ioctl(entry.fd, TIOCMBIS, &raise);
        ioctl(entry.fd, TIOCMBIC, &drop);
    }
    TraceLineEvent("restored", "the port's settings as found");
    entry = {};
}

// The ports still open when the program ends: their settings go back and the device is free
// for other programs again (the descriptor itself goes with the process).
void GiveBackAll(bool letOutputGo) {
    for (auto& entry : savedPorts) {
        if (entry.fd >= 0) {
            const int fd = entry.fd;
            GiveBack(entry, letOutputGo);
            ioctl(fd, TIOCNXCL);
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
    const int fd = static_cast<int>(link);
    SavedPort* entry = FindSaved(fd);
    if (entry == nullptr) {
        entry = FindSaved(-1);
    }
    termios settings{};
    if (entry == nullptr || tcgetattr(fd, &settings) != 0) {
        return;
    }
    int lines = 0;
    const bool linesKnown = ioctl(fd, TIOCMGET, &lines) == 0;
    *entry = {fd, settings, linesKnown, lines};

    static bool registered = false;
    if (!registered) {
        registered = true;
        std::atexit(GiveBackAllAtExit);
        AddInterruptCleanup(GiveBackAllAtInterrupt);
    }
}

void RestorePortSettings(SerialLink link) {
    if (SavedPort* entry = FindSaved(static_cast<int>(link)); entry != nullptr && link >= 0) {
        GiveBack(*entry, true);
    }
}
