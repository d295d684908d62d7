// Seam: the COM port itself. Opening and configuring a port and the raw calls on an open one,
// implemented once per platform (serial/posix_port.cpp, serial/win32_port.cpp) as the library
// update_serial_port. The scripted tests link a scripted box on a virtual clock
// (tests/support/fake_port.cpp) in its place; everything above these calls is portable.
#pragma once

#include <cstdint>

#include "common/errors.h"

// Handle of the open port device: a file descriptor on POSIX, a HANDLE on Win32.
using SerialLink = std::intptr_t;
inline constexpr SerialLink InvalidLink = -1;

// Time limit value meaning "wait without limit" for PortWaitReadable.
inline constexpr uint32_t WaitForever = 0xFFFFFFFFu;

// ---- Port setup (platform-specific implementation) ----------------------------------------

// Opens COM1..COM4 with 8 data bits, one stop bit, even or no parity, optional RTS/CTS
// handshake, non-waiting reads and (unless noWriteTimeout) a write limit of 1 ms per byte plus
// 10 ms per write call. Returns InvalidLink on failure with the reason in the last-error value
// (ErrorBadPort for a number outside 1 to 4). On POSIX port n is the device named by the
// environment variable COMn, default /dev/ttyS0 .. /dev/ttyS3.
[[nodiscard]] SerialLink OpenSerialLink(int portNumber, uint32_t baudRate, int noWriteTimeout,
                                        int hardwareHandshake, int evenParity);

// Changes the speed of an open link: pause 300 ms; nothing more when the speed is already
// right, otherwise set it and pause 500 ms. Returns 1 on success, 0 when the settings could not
// be read or written (the caller closes the link).
[[nodiscard]] int ChangeBaudRate(SerialLink link, uint32_t baudRate);

// Closes the link and gives the device back the settings it had when it was opened (queued
// output first gets a bounded time to go out). A link still open when the program ends, after
// a failure or an interrupt, gets its settings back all the same.
void CloseSerialLink(SerialLink link);

// The device name that port n (1 to 4) maps to, or nullptr for another number.
[[nodiscard]] const char* PortDeviceName(int portNumber);

// Whether port n stands for a default device because COMn is not set (or empty); false on
// Windows, where the port is named by its number.
[[nodiscard]] bool PortDeviceIsDefault(int portNumber);

// ---- Raw port calls (platform-specific implementation) ------------------------------------

// Reads whatever has arrived, up to `maximum` bytes, without waiting. Returns 1 with `got`
// set (possibly 0), or 0 on failure (last-error value set; ErrorOperationAborted when the
// device went away).
[[nodiscard]] int PortRead(SerialLink link, uint8_t* buffer, uint32_t maximum, uint32_t& got);

// Writes up to `length` bytes within the link's write limit. On a link with a write limit the
// bytes count as written only once they have left the port (serial/output_drain.h). Returns 1
// when all went out; 0 with `written` set and the last-error value ErrorCounterTimeout when the
// write limit expired first (bytes still held back then are thrown away, so `written` is what
// reached the line); 0 with another last-error value on other failures.
[[nodiscard]] int PortWrite(SerialLink link, const uint8_t* data, uint32_t length,
                            uint32_t& written);

// Blocks until input is waiting or `timeoutMs` have passed (WaitForever: no limit), without
// using the processor. Returns 1 when input (or a hang-up) is waiting, 0 on time-out. A
// following PortRead reports the hang-up, so callers that read next may ignore the result.
int PortWaitReadable(SerialLink link, uint32_t timeoutMs);

// Clears the port's communication error state; the result is not looked at.
void PortClearErrors(SerialLink link);

// Sets the write limit of the link: `multiplierMs` per byte plus `constantMs` per write call;
// both 0 mean no limit.
void PortSetWriteLimits(SerialLink link, uint32_t multiplierMs, uint32_t constantMs);

// Bytes the port still holds to transmit: its driver's output queue, and on ports whose driver
// can tell, one more while the transmitter itself is not yet empty. Returns 1 with `bytes` set,
// 0 when the port cannot tell (then nothing is known to be waiting).
[[nodiscard]] int PortOutputQueued(SerialLink link, uint32_t& bytes);

// Throws away whatever the port still holds to transmit; those bytes never reach the line.
void PortDiscardOutput(SerialLink link);

// Waits until the port has transmitted its output. Returns 1 on success; a caller that only
// wants the line quiet before it repeats itself may ignore the result.
int PortFlush(SerialLink link);
