// Low latency for USB serial adapters: the serial driver's ASYNC_LOW_LATENCY flag, asked for at
// open and put back at close (TIOCGSERIAL, TIOCSSERIAL; Linux only).
#include "serial/posix_latency.h"

#include <array>
#include <cerrno>

#ifdef __linux__
#include <linux/serial.h>
#include <sys/ioctl.h>
#endif

namespace {

#ifdef __linux__
constexpr int LowLatencyFlag = ASYNC_LOW_LATENCY;
#else
constexpr int LowLatencyFlag = 0;
#endif

// The flags found at open, for the links whose flags RequestLowLatency changed.
struct SavedFlags {
    int fd = -1;
    int flags = 0;
};
std::array<SavedFlags, 16> savedFlags{};

SavedFlags* FindSaved(int fd) {
    for (auto& entry : savedFlags) {
        if (entry.fd == fd) {
            return &entry;
        }
    }
    return nullptr;
}

// Keeps errno as the caller had it: the requests are a side matter of opening and closing.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

  private:
    int saved_;
};

}  // namespace

int LowLatencyFlags(int flags) {
    return flags | LowLatencyFlag;
}

int RestoredLatencyFlags(int current, int saved) {
    return (current & ~LowLatencyFlag) | (saved & LowLatencyFlag);
}

#ifdef __linux__

bool RequestLowLatency(int fd) {
    const ErrnoKeeper keeper;
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return false;  // not a serial driver that knows the request (ENOTTY on a pty)
    }
    const int wanted = LowLatencyFlags(serial.flags);
    if (wanted == serial.flags) {
        return false;  // already low latency: nothing to put back either
    }
    SavedFlags* entry = FindSaved(fd);
    if (entry == nullptr) {
        entry = FindSaved(-1);
    }
    if (entry == nullptr) {
        return false;  // no room to remember the old flags: leave the driver as it is
    }
    const int found = serial.flags;
    serial.flags = wanted;
    if (ioctl(fd, TIOCSSERIAL, &serial) != 0) {
        return false;  // EPERM, EINVAL: the driver keeps its timer
    }
    *entry = {fd, found};
    return true;
}

void RestoreLowLatency(int fd) {
    SavedFlags* entry = FindSaved(fd);
    if (entry == nullptr) {
        return;
    }
    const int saved = entry->flags;
    *entry = {};
    const ErrnoKeeper keeper;
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return;
    }
    const int restored = RestoredLatencyFlags(serial.flags, saved);
    if (restored != serial.flags) {
        serial.flags = restored;
        ioctl(fd, TIOCSSERIAL, &serial);
    }
}

#else

bool RequestLowLatency(int) {
    return false;
}

void RestoreLowLatency(int) {}

#endif
