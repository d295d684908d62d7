// The serial port on POSIX: port n is the terminal device named by the environment variable
// COMn (default /dev/ttyS0 .. /dev/ttyS3), configured raw through termios.
//
// The link's behaviour is the same as on every other platform: reads never wait, writes stop at
// a deadline of (multiplier * length + constant) ms, counted until the bytes have left the
// driver's output queue, and then report ErrorCounterTimeout, and a device that went away makes
// a read fail with ErrorOperationAborted. Opening asks the driver for low latency; what the
// device had as found, and the link's write limits, live in its record (serial/posix_port_state.h).
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "serial/output_drain.h"
#include "serial/port.h"
#include "serial/port_counters.h"
#include "serial/port_device.h"
#include "serial/port_state.h"
#include "serial/posix_port_state.h"

namespace {

// ---- Settings ---------------------------------------------------------------------------

struct SpeedCode {
    uint32_t baud;
    speed_t code;
};

constexpr SpeedCode speedCodes[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

// The termios code of a speed; false for a speed the terminal interface has no code for.
bool SpeedFor(uint32_t baud, speed_t& code) {
    for (const auto& entry : speedCodes) {
        if (entry.baud == baud) {
            code = entry.code;
            return true;
        }
    }
    return false;
}

void SetLineSettings(termios& settings, speed_t speed, bool flowControl, bool evenParity) {
    // Raw bytes both ways: no break, parity-mark, stripping, line-end or XON/XOFF handling on
    // input, no output processing, no echo, no line editing and no signal characters.
    settings.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR |
                                               ICRNL | IXON | IXOFF | IXANY | INPCK | IGNPAR);
    settings.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    settings.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    // 8 data bits, one stop bit, receiver on, modem status lines ignored.
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
    settings.c_cflag |= CS8 | CREAD | CLOCAL;
    if (evenParity) {
        settings.c_cflag |= PARENB;
        settings.c_iflag |= INPCK;
    }
    if (flowControl) {
        settings.c_cflag |= CRTSCTS;
    }
    // One byte satisfies a read, and the descriptor is non-blocking: a read without input
    // fails with EAGAIN at once, and a read that returns 0 means the line was hung up.
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
}

// Raises or drops the modem control lines DTR and RTS. A device without modem lines (a
// pseudo-terminal) refuses the call, which is not a failure.
bool SetModemLines(int fd, bool raise) {
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &lines) == 0) {
        return true;
    }
    return errno == ENOTTY || errno == EINVAL;
}

// The reason of a failed read or write: a device that went away (an adapter pulled out, the
// line hung up) is ErrorOperationAborted, as on every platform.
uint32_t PortErrorValue(int error) {
    return error == EIO || error == ENXIO || error == ENODEV ? ErrorOperationAborted
                                                             : static_cast<uint32_t>(error);
}

// Gives back what the open took so far (nothing before HoldPort) and closes the device.
SerialLink FailOpen(int fd, int error) {
    ReleasePort(fd, true);
    close(fd);
    SetLastErrorValue(static_cast<uint32_t>(error));
    return InvalidLink;
}

PortDeviceChoice ChosenDevice(int portNumber) {
    static constexpr const char* variables[] = {"COM1", "COM2", "COM3", "COM4"};
    if (portNumber < 1 || portNumber > 4) {
        return {};
    }
    return ChoosePortDevice(portNumber, std::getenv(variables[portNumber - 1]));
}

}  // namespace

const char* PortDeviceName(int portNumber) {
    return ChosenDevice(portNumber).name;
}

bool PortDeviceIsDefault(int portNumber) {
    return ChosenDevice(portNumber).isDefault;
}

SerialLink OpenPortDevice(const char* name, uint32_t baudRate, int noWriteTimeout,
                          int hardwareHandshake, int evenParity) {
    speed_t speed = 0;
    if (!SpeedFor(baudRate, speed)) {
        SetLastErrorValue(EINVAL);
        return InvalidLink;
    }
    // Never the controlling terminal; non-blocking so that reads return at once.
    const int fd = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        SetLastErrorValue(static_cast<uint32_t>(errno));
        return InvalidLink;
    }
    // Exclusive use: TIOCEXCL keeps other programs from opening the device (except root), and
    // the lock makes a second program fail in every case.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 && errno != EOPNOTSUPP) {
        return FailOpen(fd, errno == EWOULDBLOCK ? EBUSY : errno);
    }
    if (!HoldPort(fd)) {
        return FailOpen(fd, static_cast<int>(GetLastErrorValue()));
    }
    PosixPort& port = *FindPort(fd);
    port.exclusive = ioctl(fd, TIOCEXCL) == 0;
    if (!port.exclusive && errno != ENOTTY && errno != EINVAL) {
        return FailOpen(fd, errno);
    }
    port.multiplierMs = noWriteTimeout != 0 ? 0 : 1;
    port.constantMs = noWriteTimeout != 0 ? 0 : 10;
    port.baudRate = baudRate;

    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return FailOpen(fd, errno);
    }
    const bool flowControl = hardwareHandshake == 1 && evenParity != 1;
    SetLineSettings(settings, speed, flowControl, evenParity == 1);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return FailOpen(fd, errno);
    }
    if (!SetModemLines(fd, flowControl)) {
        return FailOpen(fd, errno);
    }

    SleepMs(300);
    if (tcgetattr(fd, &settings) != 0) {
        return FailOpen(fd, errno);
    }
    RequestLowLatency(port);
    return fd;
}

int SetPortDeviceSpeed(SerialLink link, uint32_t baudRate) {
    const int fd = static_cast<int>(link);
    SleepMs(300);
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        SetLastErrorValue(static_cast<uint32_t>(errno));
        return 0;
    }
    speed_t speed = 0;
    if (!SpeedFor(baudRate, speed)) {
        SetLastErrorValue(EINVAL);
        return 0;
    }
    if (cfgetospeed(&settings) == speed && cfgetispeed(&settings) == speed) {
        return 1;
    }
    cfsetispeed(&settings, speed);
    cfsetospeed(&settings, speed);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        SetLastErrorValue(static_cast<uint32_t>(errno));
        return 0;
    }
    if (PosixPort* port = FindPort(link)) {
        port->baudRate = baudRate;
    }
    SleepMs(500);
    return 1;
}

void ClosePortDevice(SerialLink link) {
    if (link == InvalidLink) {
        return;
    }
    ReleasePort(link, true);
    close(static_cast<int>(link));
}

int ReadPortDevice(SerialLink link, uint8_t* buffer, uint32_t maximum, uint32_t& got) {
    got = 0;
    if (maximum == 0) {
        return 1;
    }
    for (;;) {
        const ssize_t n = read(static_cast<int>(link), buffer, maximum);
        if (n > 0) {
            got = static_cast<uint32_t>(n);
            return 1;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return 1;  // nothing has arrived
        }
        // End of input on a terminal (hang-up) or an I/O error of a device that went away.
        SetLastErrorValue(n == 0 ? ErrorOperationAborted : PortErrorValue(errno));
        return 0;
    }
}

int WritePortDevice(SerialLink link, const uint8_t* data, uint32_t length, uint32_t& written) {
    written = 0;
    const int fd = static_cast<int>(link);
    const PosixPort* limits = FindPort(link);
    const bool limited =
        limits != nullptr && (limits->multiplierMs != 0 || limits->constantMs != 0);
    uint64_t budget = 0;
    if (limited) {
        budget = static_cast<uint64_t>(limits->multiplierMs) * length + limits->constantMs;
        if (budget > INT_MAX) {
            budget = INT_MAX;
        }
    }
    const uint32_t start = ClockMs();
    while (written < length) {
        const ssize_t n = write(fd, data + written, length - written);
        if (n > 0) {
            written += static_cast<uint32_t>(n);
            CountBytesSent(static_cast<uint32_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            SetLastErrorValue(PortErrorValue(errno));
            return 0;
        }
        // The output queue is full (the line is slow or held back by flow control): wait for
        // room until the deadline of this call.
        int timeout = -1;
        if (limited) {
            const uint32_t elapsed = ElapsedMs(start);
            if (elapsed >= budget) {
                SetLastErrorValue(ErrorCounterTimeout);
                return 0;
            }
            timeout = static_cast<int>(budget - elapsed);
        }
        short revents = 0;
        (void)PollOrInterrupt(fd, POLLOUT, timeout, revents);
    }
    // Handed over to the driver is not yet sent: the limit holds until the bytes are out.
    return limited ? AwaitOutputSent(link, start, static_cast<uint32_t>(budget), limits->baudRate,
                                     written)
                   : 1;
}

int PortWaitReadable(SerialLink link, uint32_t timeoutMs) {
    const uint32_t start = ClockMs();
    for (;;) {
        int timeout = -1;
        if (timeoutMs != WaitForever) {
            const uint32_t elapsed = ElapsedMs(start);
            const uint32_t left = elapsed >= timeoutMs ? 0 : timeoutMs - elapsed;
            timeout = left > INT_MAX ? INT_MAX : static_cast<int>(left);
        }
        short revents = 0;
        const int ready = PollOrInterrupt(static_cast<int>(link), POLLIN, timeout, revents);
        if (ready > 0) {
            // Input, or a hang-up or error that the next read reports.
            return 1;
        }
        if (ready < 0 && errno != EINTR) {
            return 1;  // let the next read report what is wrong with the descriptor
        }
        if (timeoutMs != WaitForever && ElapsedMs(start) >= timeoutMs) {
            return 0;
        }
    }
}

void PortClearErrors(SerialLink) {
    // Terminal devices keep no error state that blocks the line: parity and framing errors
    // arrive as bytes. Flushing here would throw received data away.
}

void PortSetWriteLimits(SerialLink link, uint32_t multiplierMs, uint32_t constantMs) {
    if (PosixPort* port = FindPort(link)) {
        port->multiplierMs = multiplierMs;
        port->constantMs = constantMs;
    }
}

int PortOutputQueued(SerialLink link, uint32_t& bytes) {
    const int fd = static_cast<int>(link);
    int queued = 0;
    if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
        return 0;
    }
    bytes = queued > 0 ? static_cast<uint32_t>(queued) : 0;
#ifdef TIOCSERGETLSR
    // The queue does not count what already sits in a UART's FIFO or in a USB adapter's own
    // buffer (with RTS/CTS held, an FTDI chip takes a short keyword and keeps it). Drivers that
    // know whether their transmitter is empty (8250 UARTs, FTDI adapters) say so here; one byte
    // stands for what they still hold. Other drivers refuse the call.
    unsigned int status = 0;
    if (bytes == 0 && ioctl(fd, TIOCSERGETLSR, &status) == 0 && (status & TIOCSER_TEMT) == 0) {
        bytes = 1;
    }
#endif
    return 1;
}

void DiscardPortDeviceOutput(SerialLink link) {
    tcflush(static_cast<int>(link), TCOFLUSH);
}

int FlushPortDevice(SerialLink link) {
    while (tcdrain(static_cast<int>(link)) != 0) {
        CheckInterrupt();
        if (errno != EINTR) {
            SetLastErrorValue(static_cast<uint32_t>(errno));
            return 0;
        }
    }
    return 1;
}
