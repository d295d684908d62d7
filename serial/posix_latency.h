// Low latency for USB serial adapters on Linux.
//
// An FTDI adapter holds received bytes until 62 have gathered or its latency timer expires
// (16 ms by default), so every one-byte answer of the box waits that long before the program
// sees it. Asked for low latency (the serial driver's ASYNC_LOW_LATENCY flag, which a normal
// user may set), the ftdi_sio driver uses a 1 ms timer. The port asks for it when it opens a
// link and puts the flag back as it was when it closes the link. Drivers that do not know the
// request (pseudo-terminals, some adapters) or refuse it leave everything as it was: that never
// fails a run. On other systems the requests do nothing.
#pragma once

// The driver's flags with low latency asked for (unchanged where the system has no such flag).
[[nodiscard]] int LowLatencyFlags(int flags);

// The flags to write back at close: `current` as the driver has them now, with the low-latency
// flag as it was in `saved` (the flags found at open); every other flag stays as it is now.
[[nodiscard]] int RestoredLatencyFlags(int current, int saved);

// Asks the driver of the open terminal `fd` for low latency and remembers the flags it had for
// RestoreLowLatency. Returns true when the driver's flags were changed. A refusal is ignored;
// errno and the last-error value are left as they were.
bool RequestLowLatency(int fd);

// Puts the low-latency flag of `fd` back as it was before RequestLowLatency changed it; nothing
// when that call changed nothing. Call it before the descriptor is closed.
void RestoreLowLatency(int fd);
