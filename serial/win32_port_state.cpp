// The open ports on Windows and what they give back: the DCB record and the time-outs.
#include "serial/win32_port_state.h"

#include "platform/platform.h"
#include "serial/port_state.h"

namespace {

PortTable<Win32Port> ports;

}  // namespace

Win32Port* FindPort(SerialLink link) {
    return ports.Find(link);
}

bool HoldPort(SerialLink link) {
    Win32Port* port = ports.Take(link);
    if (port == nullptr) {
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
        return false;
    }
    HANDLE handle = reinterpret_cast<HANDLE>(link);
    Win32Port found{};
    found.link = link;
    found.found.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &found.found) || !GetCommTimeouts(handle, &found.foundTimeouts)) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return false;
    }
    *port = found;
    GiveBackAtTheEnd();
    return true;
}

void GiveBackPort(SerialLink link) {
    ports.Release(link, [](Win32Port& port) {
        HANDLE handle = reinterpret_cast<HANDLE>(port.link);
        SetCommState(handle, &port.found);
        SetCommTimeouts(handle, &port.foundTimeouts);
    });
}

bool PortHeld(SerialLink link, uint32_t& baudRate) {
    baudRate = 0;
    if (FindPort(link) == nullptr) {
        return false;
    }
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (GetCommState(reinterpret_cast<HANDLE>(link), &dcb)) {
        baudRate = dcb.BaudRate;
    }
    return true;
}

SerialLink AnyHeldPort() {
    return ports.Any();
}
