// The line trace: every byte that passed the serial line, in both directions and in the order it
// passed, with the port's events and the session's stages, written as text to a file for the
// support engineer. The program (UPDATE_TRACE) and boxsim (--trace) write the same format, each
// from its own side, so that scripts/trace-diff can line the two up.
//
// Format, one line each:
//   # ...                                           header and comment lines
//   <µs> prog>box 6b 6f 72 ...             |kor...|  bytes the program sent to the box
//   <µs> box>prog 06                       |.|       bytes the box sent to the program
//   <µs> <event>  <text>                             open, speed, restored, flush, discard,
//                                                    close, error, stage, stop, end
// <µs> is the time in microseconds since the program started (a steady clock). The directions
// name the sides, not the writer, so both traces use the same labels. Bytes form bursts: a new
// line starts when the direction changes, when 16 bytes fill the line, when more than
// TraceBurstGapUs passed since the previous bytes, and after every event line. A line's time is
// that of the first of its bytes.
//
// Off unless OpenLineTrace succeeded; then every call costs one test of a flag. The lines go
// through a 64 KiB buffer, written out when it is full, right after the port's settings were
// given back or it was closed, and at every end of the program (exit, interrupt).
#pragma once

#include <cstdint>

enum class LineDirection : uint8_t { ProgToBox, BoxToProg };

// A pause of more than this between two pieces of the same direction ends a burst.
inline constexpr uint64_t TraceBurstGapUs = 2000;
// Bytes on one line at most.
inline constexpr uint32_t TraceBytesPerLine = 16;

// True while a trace is being written.
extern bool lineTraceActive;

// Reports a trace that could not be created, or could not be written or put in place at the end:
// the file's name and the reason (a last-error value). Set by the program that opens the trace.
using LineTraceFailureReport = void (*)(const char* fileName, uint32_t reason);

// Creates the trace `fileName` anew: a file of this process's own beside it
// ("<fileName>.<process>-<n>", created exclusively) takes the place of `fileName` in one step,
// so that a link standing there is replaced, never written through. On POSIX that happens at
// once, and a run that dies leaves what was written so far under `fileName`; on Windows, where a
// file that is open cannot be renamed, an empty file takes the name at once and the trace
// replaces it at the end of the program. `headerLines` (one or more
// lines, each ending in a line end) open the file, after the format line. The trace is finished
// by the program's shutdown (platform/shutdown.h), whichever way it ends. Returns 1 on
// success, 0 with the reason in the last-error value (the program then runs without a trace).
[[nodiscard]] int OpenLineTrace(const char* fileName, const char* headerLines,
                                LineTraceFailureReport report);

// Flushes and closes the trace (and, where not done yet, puts it at its name). Called at the end
// of the program; afterwards the trace is off. Returns 1 on success, 0 when writing or putting
// the file in place failed (last-error value set).
[[nodiscard]] int CloseLineTrace();

// Writes the lines gathered so far into the file.
void FlushLineTrace();

// Bytes that passed the line now, in `direction`.
void RecordLineBytes(LineDirection direction, const uint8_t* data, uint32_t length);
// The same at a given time (µs since the program started), for the tests of the burst rule.
void RecordLineBytesAt(uint64_t microseconds, LineDirection direction, const uint8_t* data,
                       uint32_t length);

// An event line: `name` (one word) and the text made from `format`; nothing when the trace is
// off. Events are rare, so this is an ordinary call.
void TraceLineEvent(const char* name, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// The outcome of a raw port call: the bytes it moved (if any) and, when it failed, an error
// line naming the call and the last-error value, which it leaves as it was.
void RecordPortCall(const char* call, int ok, LineDirection direction, const uint8_t* data,
                    uint32_t moved);

// The port was opened: its device, speed, parity and handshake.
void TracePortOpen(int portNumber, const char* device, uint32_t baudRate, bool evenParity,
                   bool rtsCts);

// Microseconds since the program started, on the trace's clock.
[[nodiscard]] uint64_t LineTraceMicroseconds();

// The hooks of the port implementations: one test of a flag when the trace is off.
inline void TraceLineBytes(LineDirection direction, const uint8_t* data, uint32_t length) {
    if (lineTraceActive && length != 0) {
        RecordLineBytes(direction, data, length);
    }
}
inline void TracePortCall(const char* call, int ok, LineDirection direction, const uint8_t* data,
                          uint32_t moved) {
    if (lineTraceActive) {
        RecordPortCall(call, ok, direction, data, moved);
    }
}
