// The update session: bootloader access and version query, and the driver of one run.
#pragma once

#include <cstdint>

#include "common/settings.h"
#include "serial/port.h"

// Retries of the version query left for the current box; the session sets it to 15 each time
// it opens the port for a box.
extern int retriesLeft;

// Wakes the bootloader, synchronises and reads its version. Returns only on success; every
// failure ends the program. May close `link` and replace it with a newly opened one.
void AccessBootloader(SerialLink& link, const SessionSettings& settings, LoaderVersion& version);

// Scans for "Bootloader Version" and reads the version behind it. 1 on success, 0 otherwise
// (ErrorTimeout when the limit passed; the read's error after a failed read).
[[nodiscard]] int QueryLoaderVersion(SerialLink link, LoaderVersion& version, uint32_t limitMs);

// Runs the whole update, box after box in loop mode. Never returns.
[[noreturn]] void UpdateSession(SessionSettings& settings);

// Gives the box back before the program gives up on it. Mode 0 answers the menu with "1" at
// both speeds; otherwise the release block answers the download prompt, the wait for the
// prompt and the block's send within 30 s together (past them: message 13 with ErrorTimeout).
// Returns 1 when it has closed the link (after a failure), 0 when the link is still open.
[[nodiscard]] int ReleaseBox(SerialLink link, int mode);
