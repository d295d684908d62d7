// The open ports on POSIX and what they give back: termios, the DTR and RTS lines, the serial
// driver's low-latency flag and the exclusive use of the device.
#include "serial/posix_port_state.h"

#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

#ifdef __linux__
#include <linux/serial.h>
#endif

#include "platform/platform.h"
#include "serial/port_state.h"

namespace {

PortTable<PosixPort> ports;

#ifdef __linux__
constexpr int LowLatencyFlag = ASYNC_LOW_LATENCY;

int DriverGetFlags(int fd, int& flags) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return -1;
    }
    flags = serial.flags;
    return 0;
}

// Writes the flags back with everything else of the driver's record as it is now.
int DriverSetFlags(int fd, int flags) {
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) != 0) {
        return -1;
    }
    serial.flags = flags;
    return ioctl(fd, TIOCSSERIAL, &serial);
}
#else
constexpr int LowLatencyFlag = 0;

int DriverGetFlags(int, int&) {
    return -1;
}
int DriverSetFlags(int, int) {
    return -1;
}
#endif

SerialFlagCalls flagCalls{DriverGetFlags, DriverSetFlags};

// Keeps errno as the caller had it: the flag requests are a side matter of opening and closing.
class ErrnoKeeper {
  public:
    ErrnoKeeper() : saved_(errno) {}
    ~ErrnoKeeper() { errno = saved_; }
    ErrnoKeeper(const ErrnoKeeper&) = delete;
    ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

  private:
    int saved_;
};

void RestoreLowLatency(const PosixPort& port) {
    const ErrnoKeeper keeper;
    int current = 0;
    if (!port.flagsChanged || flagCalls.get(port.Fd(), current) != 0) {
        return;
    }
    const int restored = RestoredLatencyFlags(current, port.flags);
    if (restored != current) {
        flagCalls.set(port.Fd(), restored);
    }
}

}  // namespace

PosixPort* FindPort(SerialLink link) {
    return ports.Find(link);
}

bool HoldPort(SerialLink link) {
    const int fd = static_cast<int>(link);
    PosixPort* port = ports.Take(link);
    if (port == nullptr) {
        SetLastErrorValue(EMFILE);
        return false;
    }
    PosixPort found{};
    found.link = link;
    if (tcgetattr(fd, &found.found) != 0) {
        SetLastErrorValue(static_cast<uint32_t>(errno));
        return false;
    }
    found.linesKnown = ioctl(fd, TIOCMGET, &found.lines) == 0;
    *port = found;
    GiveBackAtTheEnd();
    return true;
}

void GiveBackPort(SerialLink link) {
    ports.Release(link, [](const PosixPort& port) {
        tcsetattr(port.Fd(), TCSANOW, &port.found);
        if (port.linesKnown) {
            int raise = port.lines & (TIOCM_DTR | TIOCM_RTS);
            int drop = ~port.lines & (TIOCM_DTR | TIOCM_RTS);
            ioctl(port.Fd(), TIOCMBIS, &raise);
            ioctl(port.Fd(), TIOCMBIC, &drop);
        }
        RestoreLowLatency(port);
        if (port.exclusive) {
            // Free for other programs again; the lock goes with the descriptor.
            ioctl(port.Fd(), TIOCNXCL);
        }
    });
}

bool PortHeld(SerialLink link, uint32_t& baudRate) {
    const PosixPort* port = FindPort(link);
    baudRate = port != nullptr ? port->baudRate : 0;
    return port != nullptr;
}

SerialLink AnyHeldPort() {
    return ports.Any();
}

int LowLatencyFlags(int flags) {
    return flags | LowLatencyFlag;
}

int RestoredLatencyFlags(int current, int saved) {
    return (current & ~LowLatencyFlag) | (saved & LowLatencyFlag);
}

bool RequestLowLatency(PosixPort& port) {
    const ErrnoKeeper keeper;
    int found = 0;
    if (flagCalls.get(port.Fd(), found) != 0) {
        return false;  // not a serial driver that knows the request (ENOTTY on a pty)
    }
    const int wanted = LowLatencyFlags(found);
    if (wanted == found || flagCalls.set(port.Fd(), wanted) != 0) {
        return false;  // already low latency, or refused (EPERM, EINVAL): nothing to put back
    }
    port.flagsChanged = true;
    port.flags = found;
    return true;
}

SerialFlagCalls UseSerialFlagCalls(SerialFlagCalls calls) {
    const SerialFlagCalls previous = flagCalls;
    flagCalls = calls;
    return previous;
}
