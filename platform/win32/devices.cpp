// Serial device facts on Windows: the system's error values by kind. The ports are COM1 to COM4
// themselves, so there are no device files to list and no groups to join.
#include <windows.h>

#include "common/errors.h"
#include "platform/devices.h"

PortFailure ClassifyPortError(uint32_t value) {
    switch (value) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return PortFailure::Missing;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            // A COM port that another program has open is refused with "access denied".
            return PortFailure::Busy;
        case ERROR_INVALID_FUNCTION:
            return PortFailure::NotASerialPort;
        case ERROR_BAD_COMMAND:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_NOT_READY:
        case ErrorOperationAborted:
            return PortFailure::DeviceGone;
        case ERROR_INVALID_DATA:
        case ERROR_INVALID_PARAMETER:
            return PortFailure::Refused;
        default:
            return PortFailure::Other;
    }
}

bool PortsAreNamedByVariables() {
    return false;
}

PortDeviceChoice ChoosePortDevice(int portNumber, const char*) {
    static const char* const names[] = {"COM1", "COM2", "COM3", "COM4"};
    if (portNumber < 1 || portNumber > 4)
        return {};
    return {names[portNumber - 1], false};
}

int ListSerialDevices(const char*, std::span<char> out) {
    if (!out.empty())
        out[0] = '\0';
    return 0;
}

bool ReadDeviceAccess(const char*, DeviceAccess&) {
    return false;
}
