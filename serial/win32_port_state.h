// The record of one open port on Windows (serial/port_state.h): the handle, the DCB and the
// time-outs the device had as found, and the byte that PortWaitReadable took and PortRead has
// not yet delivered. Used by serial/win32_port.cpp and serial/win32_port_state.cpp only.
#pragma once

#include <windows.h>

#include <cstdint>

#include "serial/port.h"

struct Win32Port {
    SerialLink link = InvalidLink;
    DCB found{};
    COMMTIMEOUTS foundTimeouts{};
    bool pendingPresent = false;
    uint8_t pendingValue = 0;
};

// The record of an open link, nullptr for a link not held.
[[nodiscard]] Win32Port* FindPort(SerialLink link);
