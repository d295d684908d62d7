// The lines that follow a failure line and say what the failure means and what to do.
//
// Every failure line of the program stays exactly as it is. On standard error one more line
// follows it, in the session's language, when there is something to say: the port and its
// device, the system's reason in words and a hint for the common cases (a port that cannot be
// opened, a device that went away, a write limit that expired), or the meaning of one of the
// program's own error values. There is never an empty line: a value without words of the
// system's or the program's own gets no line.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/messages.h"
#include "image/pad_image.h"
#include "serial/port.h"

// The port of the session, named in the lines about a failure during the run (1 until set).
void SetReportedPort(int portNumber);

// The line for port `portNumber` that could not be opened with `error`, without its line end,
// or nullptr when there is nothing to say. The serial devices present are looked up under
// `deviceRoot` by name. The text stays valid until the next call of these functions.
[[nodiscard]] const char* PortOpenHint(int portNumber, uint32_t error,
                                       const char* deviceRoot = "/dev");

// The line for a failure during the run whose reason is `error`, or nullptr.
[[nodiscard]] const char* FailureHint(uint32_t error);

// The line before port `portNumber` is opened when it stands for a default device because
// COMn is not set: which device that is. nullptr when COMn names the device (and on Windows).
[[nodiscard]] const char* DefaultDeviceNote(int portNumber);

// The line `hint` about the session's port: after message 7, Hint::KeywordHeld (the access
// keyword did not go out within its second); after messages 25 and 26, Hint::AccessTimedOut.
[[nodiscard]] const char* SessionPortHint(Hint hint);

// The line for port `portNumber` that could not be opened again with `error` after its device
// went away during the run: the device is gone, whatever the reason of the open.
[[nodiscard]] const char* PortReopenHint(int portNumber, uint32_t error);

// The line after message 0: how a port is named.
[[nodiscard]] const char* InvalidPortHint();

// The line after message 3: why the image `imageName` failed its check (`error`: the
// last-error value, whose words an unreadable file gets), or nullptr for PadProblem::None.
[[nodiscard]] const char* ImageProblemHint(const char* imageName, PadProblem problem,
                                           uint32_t error);

// Prints `hint` and a line end on standard error; nothing for nullptr.
void PrintHint(const char* hint);

// ---- The failure sink -------------------------------------------------------------------------
// A failure is reported by one call: it notes the failure for the production log, marks the
// trace, prints the failure line(s) and then the hint. The last-error value stays as it was.

// The failure that ended the run, as the production log names it: its message (or, for a line
// outside the catalogue, its English text) and the value it reports. The last report counts.
struct NotedFailure {
    int message = -1;            // the message number, -1 for a line outside the catalogue
    const char* text = nullptr;  // the English text; nullptr when nothing has been noted
    uint32_t error = 0;          // the value the line reports, or the last-error value
};
[[nodiscard]] NotedFailure LastFailure();
// Forgets the noted failure (at the start of each box).
void ClearFailure();
// Keeps the failure noted last for the log: failures reported after it (while the box is being
// released after it) print their lines but do not replace it. Until ClearFailure.
void KeepNotedFailure();

// The failure line `format` (a catalogue format with %s and %i, for example "%s %i\n") with the
// message text and `error` on standard error, then the line for `error`.
void ReportFailure(const char* format, Message message, uint32_t error);

// The same as "%s %i\n" with the last-error value; the link is closed. Gives 1, the failed
// download's result.
int ReportFailureAndClose(SerialLink link, Message message);

// The line `englishText` on standard error, then the line for `error`.
void ReportFailure(const char* englishText, uint32_t error);

// The failure line(s) of `message`: its text followed by what `format` makes of the arguments
// on `stream`, then `hint` (nothing for nullptr). The log notes `message` with `error`.
void ReportFailureOf(std::FILE* stream, Message message, uint32_t error, const char* hint,
                     const char* format, ...) __attribute__((format(printf, 5, 6)));

// The failure line(s) that `format` makes of the arguments, outside the catalogue, on `stream`,
// then `hint`. The log notes `englishText` with `error`.
void ReportFailureText(std::FILE* stream, const char* englishText, uint32_t error, const char* hint,
                       const char* format, ...) __attribute__((format(printf, 5, 6)));

// The same for a port that could not be opened ("%s %i)\n" with message 5): the line after it
// names the device of `portNumber` and what to do about it.
void ReportPortOpenFailure(int portNumber, uint32_t error);

// The same for a port that could not be opened again after its device went away during the
// run: the line after it says that the device is gone, whatever the reason of the open.
void ReportPortReopenFailure(int portNumber, uint32_t error);
