// Naming the other programs on the port (frontend/port_holders.h).
#include "frontend/port_holders.h"

#include <cstdio>
#include <string>
#include <vector>

#include "common/messages.h"
#include "platform/device_holders.h"
#include "platform/platform.h"
#include "serial/port.h"

void WarnOfPortHolders(int portNumber) {
    const char* device = PortDeviceName(portNumber);
    if (device == nullptr) {
        return;
    }
    const std::vector<DeviceHolder> holders =
        FindDeviceHolders("/proc", device, CurrentProcessId());
    if (holders.empty()) {
        return;
    }
    std::string names;
    for (const DeviceHolder& holder : holders) {
        names += (names.empty() ? "" : ", ") + holder.program + " (pid " +
                 std::to_string(holder.pid) + ")";
    }
    std::fflush(stdout);
    std::fprintf(ErrorOutput(), hintText(Hint::PortHeldBy), device, names.c_str());
    std::fputc('\n', ErrorOutput());
    std::fflush(stderr);
}
