// The platform's own port calls (serial/posix_port.cpp, serial/win32_port.cpp) under the traced
// ones of serial/port.h: serial/traced_port.cpp implements those over these and writes what they
// did into the line trace (serial/line_trace.h). Each has the contract of its namesake in
// serial/port.h. Used by the port implementations only.
#pragma once

#include <cstdint>

#include "serial/port.h"

// Opens the device `name` (PortDeviceName of a port 1 to 4; OpenSerialLink refuses other
// numbers before it gets here).
[[nodiscard]] SerialLink OpenPortDevice(const char* name, uint32_t baudRate, int noWriteTimeout,
                                        int hardwareHandshake, int evenParity);
[[nodiscard]] int SetPortDeviceSpeed(SerialLink link, uint32_t baudRate);
void ClosePortDevice(SerialLink link);
[[nodiscard]] int ReadPortDevice(SerialLink link, uint8_t* buffer, uint32_t maximum, uint32_t& got);
[[nodiscard]] int WritePortDevice(SerialLink link, const uint8_t* data, uint32_t length,
                                  uint32_t& written);
void DiscardPortDeviceOutput(SerialLink link);
int FlushPortDevice(SerialLink link);
