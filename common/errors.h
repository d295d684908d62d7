// The error values that callers act on: the system's own reasons of a failure and the platform
// errors with the same numbers on every platform. They travel in the thread's last-error value
// (platform/platform.h). At the bottom of the layers: every layer may include it.
#pragma once

#include <cstdint>

// Reasons of the system's own, left in the thread's last-error value (bit 29 set).
inline constexpr uint32_t ErrorBadPort = 0x20000000;          // port number outside 1 to 4
inline constexpr uint32_t ErrorWaitBufferFull = 0x20000001;   // WaitFor got 10,239 bytes
inline constexpr uint32_t ErrorTimeout = 0x20000002;          // a time limit passed
inline constexpr uint32_t ErrorBoxFlashReport = 0x20000004;   // transfer/erase/program error
inline constexpr uint32_t ErrorFlashIdMismatch = 0x20000005;  // flash ids do not match
inline constexpr uint32_t ErrorCodeOverflow = 0x20000006;     // encoder could not place a code
inline constexpr uint32_t ErrorBoxErrorText = 0x20000007;     // the box sent "ERROR:"
inline constexpr uint32_t ErrorBoxStop = 0x20000008;          // the box sent "STOP"
// An image could not be compressed; the compression has printed its reason.
inline constexpr uint32_t ErrorCompressionFailed = 0x20000003;

// Platform error values that callers act on, with the same numbers on every platform.
inline constexpr uint32_t ErrorCounterTimeout = 1121;   // the port's own write limit expired
inline constexpr uint32_t ErrorOperationAborted = 995;  // the device went away during a read
