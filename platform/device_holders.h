// Other programs that have a serial device open: a terminal program or a modem manager that
// opened the adapter before the update takes the box's answers, and the update then waits in
// vain. Only looked up, never acted on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct DeviceHolder {
    uint32_t pid = 0;
    std::string program;  // the process's own name ("?" when it cannot be read)
};

// The processes listed under `procRoot` ("/proc" outside the tests) with the device at
// `device` open, in the order found, each once; process `ownPid` is left out. Open files are
// compared by device number, so that a link to the device (/dev/serial/by-id/...) and the
// device count as one. What cannot be read (another user's processes, a process that ended
// meanwhile) is skipped. Nothing for a device that is not a character device, for a
// pseudo-terminal (its other end is the simulated box, which holds both sides for the whole
// run), and on platforms without /proc (Windows).
[[nodiscard]] std::vector<DeviceHolder> FindDeviceHolders(const char* procRoot, const char* device,
                                                          uint32_t ownPid);
