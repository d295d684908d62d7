// The serial link to the box: opening and configuring a COM port, the raw port calls of the
// platform, and the timed send, receive and wait-for-text operations on which every box
// protocol is built.
#pragma once

#include <array>
#include <cstdint>

// Handle of the open port device: a file descriptor on POSIX, a HANDLE on Win32.
using SerialLink = std::intptr_t;
inline constexpr SerialLink InvalidLink = -1;

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

// Time limit value meaning "wait without limit" for PortWaitReadable.
inline constexpr uint32_t WaitForever = 0xFFFFFFFFu;

// ---- Port setup (platform-specific implementation) ----------------------------------------

// Opens COM1..COM4 with 8 data bits, one stop bit, even or no parity, optional RTS/CTS
// handshake, non-waiting reads and (unless noWriteTimeout) a write limit of 1 ms per byte plus
// 10 ms per write call. Returns InvalidLink on failure with the reason in the last-error value
// (ErrorBadPort for a number outside 1 to 4). On POSIX port n is the device named by the
// environment variable COMn, default /dev/ttyS0 .. /dev/ttyS3.
SerialLink OpenSerialLink(int portNumber, uint32_t baudRate, int noWriteTimeout,
                          int hardwareHandshake, int evenParity);

// Changes the speed of an open link: pause 300 ms; nothing more when the speed is already
// right, otherwise set it and pause 500 ms. Returns 1 on success, 0 when the settings could not
// be read or written (the caller closes the link).
int ChangeBaudRate(SerialLink link, uint32_t baudRate);

void CloseSerialLink(SerialLink link);

// The device name that port n (1 to 4) maps to, or nullptr for another number.
const char* PortDeviceName(int portNumber);

// ---- Raw port calls (platform-specific implementation) ------------------------------------

// Reads whatever has arrived, up to `maximum` bytes, without waiting. Returns 1 with `got`
// set (possibly 0), or 0 on failure (last-error value set; ErrorOperationAborted when the
// device went away).
int PortRead(SerialLink link, uint8_t* buffer, uint32_t maximum, uint32_t& got);

// Writes up to `length` bytes within the link's write limit. Returns 1 when all went out; 0 with
// `written` set and the last-error value ErrorCounterTimeout when the write limit expired first;
// 0 with another last-error value on other failures.
int PortWrite(SerialLink link, const uint8_t* data, uint32_t length, uint32_t& written);

// Blocks until input is waiting or `timeoutMs` have passed (WaitForever: no limit), without
// using the processor. Returns 1 when input (or a hang-up) is waiting, 0 on time-out. A
// following PortRead reports the hang-up.
int PortWaitReadable(SerialLink link, uint32_t timeoutMs);

// Clears the port's communication error state; the result is not looked at.
void PortClearErrors(SerialLink link);

// Sets the write limit of the link: `multiplierMs` per byte plus `constantMs` per write call;
// both 0 mean no limit.
void PortSetWriteLimits(SerialLink link, uint32_t multiplierMs, uint32_t constantMs);

// Waits until the port has transmitted its output. Returns 1 on success.
int PortFlush(SerialLink link);

// ---- Timed operations (portable) ----------------------------------------------------------

// Received text of the last WaitFor: at most 10,239 bytes plus a terminating zero.
inline constexpr uint32_t WaitBufferSize = 10240;
extern std::array<char, WaitBufferSize> WaitBuffer;

// Sends `length` bytes within `limitMs` (0: no limit). Returns 1 when all were handed to the
// port, 0 on failure (ErrorTimeout, or the platform's write error).
int SendTimed(SerialLink link, const uint8_t* data, uint32_t length, uint32_t limitMs);
// Convenience for texts and single characters: sends the bytes of `text` without its zero.
int SendTimed(SerialLink link, const char* text, uint32_t limitMs);

// Waits until `text` has arrived (or the box's "ERROR:" line, or a full buffer).
// Returns 1 on success, 0 on failure with the reason in the last-error value.
int WaitFor(SerialLink link, const char* text, uint32_t limitMs);

// Fetches one byte within `limitMs` (0: no limit). 1: a byte arrived; 0: time-out (the
// last-error value is not set) or a failed read.
int ReadByteTimed(SerialLink link, uint8_t& byte, uint32_t limitMs);

// As ReadByteTimed, but returns 1 also when the limit passed (then `byte` is unchanged);
// 0 only when a read failed.
int ReadByteOrExpire(SerialLink link, uint8_t& byte, uint32_t limitMs);
