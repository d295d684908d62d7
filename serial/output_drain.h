// The write limit of a link, held to the moment the bytes leave the port.
//
// A write on POSIX returns as soon as the bytes sit in the driver's output queue, and a USB
// adapter's driver may take them before the line is free. With RTS/CTS on and a box that is off
// (or a cable without CTS) nothing is ever transmitted, yet every write would succeed. The port
// implementations therefore call AwaitOutputSent after a write has handed all its bytes over:
// the write counts as done when the port's output queue is empty, and fails with the write-limit
// error when the queue is not empty by the end of the write's own limit. Portable: it reaches
// the queue through the port seam (serial/port.h), so the scripted tests exercise it too.
#pragma once

#include <cstdint>

#include "serial/port.h"

// The time `bytes` need on the line at `baudRate` with 10 bits per byte (start, 8 data, stop),
// rounded up, at least 1 ms. A speed of 0 (unknown) counts as 1 ms per byte.
[[nodiscard]] uint32_t TransmitMs(uint32_t bytes, uint32_t baudRate);

// Waits until the port's output queue is empty, until `limitMs` have passed since `startMs`.
// Between two looks at the queue it waits about the time the queued bytes need at `baudRate`,
// never past the limit; with `watchInput`, input from the box ends the first such wait early (the
// box has answered, so the bytes are likely out), later ones are plain pauses. Returns 1 when the
// queue ran empty or the port cannot tell; 0 when the limit passed first, with `queued` the bytes
// still waiting. The one wait for the output queue: the write limit and the port's give-back
// (serial/port_state.h) both use it.
[[nodiscard]] int DrainOutput(SerialLink link, uint32_t startMs, uint32_t limitMs,
                              uint32_t baudRate, bool watchInput, uint32_t& queued);

// The write limit's wait (DrainOutput from the start of the write call, watching for input).
// Returns 1 when the queue ran empty or the port cannot tell. Returns 0 when the limit passed
// first: what is still queued is thrown away, `written` loses those bytes, and the last-error
// value is ErrorCounterTimeout.
[[nodiscard]] int AwaitOutputSent(SerialLink link, uint32_t startMs, uint32_t limitMs,
                                  uint32_t baudRate, uint32_t& written);
