// The X-modem senders (checksum mode, 128-byte blocks) of the streaming download, the 5.x
// loaders and the release of a box that is given up on.
#pragma once

#include <cstdint>

#include "serial/port.h"

// Sends a file by X-modem; 0 when the file and the EOT went out, 1 on failure (after printing
// the reason on standard error).
[[nodiscard]] int XmodemSendFile(SerialLink link, const char* fileName);
// Sends the first n bytes of ImageBuffer by X-modem; 0 or 1 as XmodemSendFile. With a limit
// (not 0), a transfer still running after limitMs fails with ErrorTimeout and prints nothing:
// the caller reports it.
[[nodiscard]] int XmodemSendBuffer(SerialLink link, uint32_t n, uint32_t limitMs = 0);
