// The serial link to the box: the timed send, receive and wait-for-text operations on which
// every box protocol is built, over the raw port calls of serial/port.h.
#pragma once

#include <array>
#include <cstdint>

#include "common/errors.h"
#include "serial/port.h"

// ---- Timed operations (portable) ----------------------------------------------------------

// The time limit of the timed operations that means "wait as long as it takes". (The raw
// PortWaitReadable takes WaitForever instead.)
inline constexpr uint32_t NoTimeLimit = 0;

// Received text of the last WaitFor: at most 10,239 bytes plus a terminating zero.
inline constexpr uint32_t WaitBufferSize = 10240;
extern std::array<char, WaitBufferSize> WaitBuffer;

// Sends `length` bytes within `limitMs` (0: no limit). Returns 1 when all were handed to the
// port, 0 on failure (ErrorTimeout, or the platform's write error).
[[nodiscard]] int SendTimed(SerialLink link, const uint8_t* data, uint32_t length,
                            uint32_t limitMs);
// Convenience for texts and single characters: sends the bytes of `text` without its zero.
[[nodiscard]] int SendTimed(SerialLink link, const char* text, uint32_t limitMs);

// Waits until `text` has arrived (or the box's "ERROR:" line, or a full buffer).
// Returns 1 on success, 0 on failure with the reason in the last-error value.
[[nodiscard]] int WaitFor(SerialLink link, const char* text, uint32_t limitMs);

// Fetches one byte within `limitMs` (0: no limit). 1: a byte arrived; 0: time-out (the
// last-error value is not set) or a failed read.
[[nodiscard]] int ReadByteTimed(SerialLink link, uint8_t& byte, uint32_t limitMs);

// As ReadByteTimed, but returns 1 also when the limit passed (then `byte` is unchanged);
// 0 only when a read failed.
[[nodiscard]] int ReadByteOrExpire(SerialLink link, uint8_t& byte, uint32_t limitMs);
