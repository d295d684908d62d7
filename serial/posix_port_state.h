// The record of one open port on POSIX (serial/port_state.h): the descriptor, what the device
// had as found (termios, the DTR and RTS lines, the driver's serial flags, whether it was
// exclusive) and the link's own values that the driver does not keep (the write limits, the
// speed). Used by serial/posix_port.cpp and serial/posix_port_state.cpp only.
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/port.h"

struct PosixPort {
    SerialLink link = InvalidLink;
    termios found{};
    bool linesKnown = false;  // a pseudo-terminal has no modem lines
    int lines = 0;
    bool flagsChanged = false;  // the serial flags were changed at open: `flags` goes back
    int flags = 0;
    bool exclusive = false;  // TIOCEXCL was set at open
    uint32_t multiplierMs = 0;
    uint32_t constantMs = 0;
    uint32_t baudRate = 0;

    [[nodiscard]] int Fd() const { return static_cast<int>(link); }
};

// The record of an open link, nullptr for a link not held.
[[nodiscard]] PosixPort* FindPort(SerialLink link);

// ---- Low latency ------------------------------------------------------------------------------
// An FTDI adapter holds received bytes until 62 have gathered or its latency timer expires (16 ms
// by default), so every one-byte answer of the box waits that long before the program sees it.
// Asked for low latency (the serial driver's ASYNC_LOW_LATENCY flag, which a normal user may
// set), the ftdi_sio driver uses a 1 ms timer. Drivers that do not know the request
// (pseudo-terminals, some adapters) or refuse it leave everything as it was: that never fails a
// run. On systems without the flag the requests do nothing.

// The driver's flags with low latency asked for (unchanged where the system has no such flag).
[[nodiscard]] int LowLatencyFlags(int flags);

// The flags to write back: `current` as the driver has them now, with the low-latency flag as it
// was in `saved` (the flags found at open); every other flag stays as it is now.
[[nodiscard]] int RestoredLatencyFlags(int current, int saved);

// Asks the driver of `port` for low latency and keeps the flags it had in the record. Returns
// true when the driver's flags were changed. A refusal is ignored; errno and the last-error
// value are left as they were.
bool RequestLowLatency(PosixPort& port);

// The driver's serial flags, read and written by TIOCGSERIAL and TIOCSSERIAL. Each call returns
// 0 on success and -1 on a refusal (a pseudo-terminal does not know the requests). Tests put
// calls of their own in place of the driver's.
struct SerialFlagCalls {
    int (*get)(int fd, int& flags);
    int (*set)(int fd, int flags);
};

// Puts `calls` in place of the driver's calls; returns those they replace.
SerialFlagCalls UseSerialFlagCalls(SerialFlagCalls calls);
