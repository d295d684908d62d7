// Facts about serial port devices for the lines that tell a technician why a port could not be
// used: the kind of failure behind an error value, the serial devices present, and the group
// that may use a device. Nothing here opens a device.
#pragma once

#include <cstdint>
#include <span>

// What an error value of the port means, as far as a technician can act on it.
enum class PortFailure {
    Missing,         // no such device or port
    NoPermission,    // the user may not open the device
    Busy,            // another program holds the port
    NotASerialPort,  // the name points at something that is not a terminal
    DeviceGone,      // the device went away (pulled out, lost its power)
    Refused,         // the driver refused the data or the settings
    Other,
};
[[nodiscard]] PortFailure ClassifyPortError(uint32_t value);

// The device names under which ports are found here: on POSIX a port is the device that the
// environment variable COMn names; on Windows the ports are COM1 to COM4 themselves.
[[nodiscard]] bool PortsAreNamedByVariables();

// The serial devices present under `deviceRoot` ("/dev" outside the tests), by name: the
// links in serial/by-id/, then ttyUSB*, then ttyACM*, each group in name order, joined by ", "
// into `out` (cut short with "..." when it is full). The directories are only listed, never a
// device opened. Returns the number of names found; 0 and an empty text where the platform has
// no such devices (Windows).
int ListSerialDevices(const char* deviceRoot, std::span<char> out);

// The name of the group that owns the device at `path` and whether this process is in that
// group. False when the platform has no such groups or the device or group cannot be looked at.
bool DeviceGroup(const char* path, std::span<char> name, bool& member);
