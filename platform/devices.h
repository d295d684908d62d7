// Facts about serial port devices for the lines that tell a technician why a port could not be
// used: the kind of failure behind an error value, the serial devices present, and who may
// open a device. Nothing here opens a device.
#pragma once

#include <array>
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

// The device that stands for port n (1 to 4) where ports are named by variables, given the value
// of COMn (nullptr when it is not set): that value when it is set and not empty, otherwise the
// machine's own serial port n (/dev/ttyS0 to /dev/ttyS3), which `isDefault` marks. On Windows
// the port is the COM port itself and never a default. `name` is nullptr for another number.
struct PortDeviceChoice {
    const char* name = nullptr;
    bool isDefault = false;
};
[[nodiscard]] PortDeviceChoice ChoosePortDevice(int portNumber, const char* variableValue);

// The serial devices present under `deviceRoot` ("/dev" outside the tests), by name: the
// links in serial/by-id/, then ttyUSB*, then ttyACM*, each group in name order, joined by ", "
// into `out` (cut short with "..." when it is full). The directories are only listed, never a
// device opened. Returns the number of names found; 0 and an empty text where the platform has
// no such devices (Windows).
int ListSerialDevices(const char* deviceRoot, std::span<char> out);

// Who may open a device: its owner, its group and its permission bits, and where this process
// stands among them.
struct DeviceAccess {
    std::array<char, 64> owner{};  // the owner's name (or number, when it has no name)
    std::array<char, 64> group{};  // the group's name (or number)
    uint32_t groupId = 0;
    uint32_t mode = 0;  // the permission bits, 07777
    bool userIsOwner = false;
    bool userInGroup = false;
};

// The facts about the device at `path`. False when the platform has no such owners and groups
// (Windows) or the device cannot be looked at.
bool ReadDeviceAccess(const char* path, DeviceAccess& access);

// What to tell a user who may not open a device.
enum class PermissionAdvice {
    JoinGroup,         // joining the device's group gives access: the user can be told how
    AskAdministrator,  // only an administrator can grant access
};

// Joining the group is advised only where it gives access and grants no more than the port:
// never root's group (id 0, which would give the user the system's files), never a group that
// may not read and write the device, and never to the owner, whose own bits apply to it
// whatever the group may do. Every other case needs an administrator.
constexpr PermissionAdvice AdviseOnPermission(const DeviceAccess& access) {
    constexpr uint32_t GroupReadWrite = 060;
    const bool joinHelps = access.groupId != 0 &&
                           (access.mode & GroupReadWrite) == GroupReadWrite &&
                           !access.userIsOwner && !access.userInGroup;
    return joinHelps ? PermissionAdvice::JoinGroup : PermissionAdvice::AskAdministrator;
}
