// Thin platform layer: the thread's last-error value, the console and the process priority.
// The clock (platform/clock.h, a seam the scripted tests replace) and files (platform/file.h)
// have headers of their own. One implementation per platform (platform/posix, platform/win32)
// is chosen at build time; everything above this layer is portable.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- Last-error value -------------------------------------------------------------------
// The reason of the last failure of this thread. The system's own reasons are 0x20000000 to
// 0x20000008 (see common/errors.h); any other value is the platform's own error number.
void SetLastErrorValue(uint32_t value);
[[nodiscard]] uint32_t GetLastErrorValue();

// The platform's reason for an error value in words, as the system itself says it (strerror on
// POSIX, FormatMessage on Windows), without a trailing line end. The system's own reasons
// (0x20000000 and up) and values the platform has no text for give "error <value>". The text
// stays valid until the next call from the same thread.
[[nodiscard]] const char* SystemErrorText(uint32_t value);

// Whether the platform has words of its own for an error value, that is, whether
// SystemErrorText says more than "error <value>" or "Unknown error <value>".
[[nodiscard]] bool SystemKnowsError(uint32_t value);

// ---- Console ----------------------------------------------------------------------------
// Standard error, for every line the program writes there: standard output is flushed first,
// so that a line on standard error never comes before what was printed ahead of it when both
// streams end up in one file or terminal.
[[nodiscard]] std::FILE* ErrorOutput();

// Reads one character from standard input; returns -1 at the end of input.
[[nodiscard]] int ReadConsoleChar();

// Sounds the console beep (1000 Hz, 500 ms) where the platform can. On POSIX the bell goes to
// the controlling terminal, never into redirected standard output.
void ConsoleBeep();

// ---- Process -----------------------------------------------------------------------------
// The number of the running process, for names that must not collide with those of another
// process in the same directory.
[[nodiscard]] uint32_t CurrentProcessId();

// ---- Process priority -------------------------------------------------------------------
inline constexpr uint32_t HighPriorityClass = 0x80;
// Returns the process's current priority class (an opaque value for RestorePriorityClass).
[[nodiscard]] uint32_t GetProcessPriorityClass();
// Sets the priority class; a refused raise is not an error (the result is not looked at).
void SetProcessPriorityClass(uint32_t priorityClass);
