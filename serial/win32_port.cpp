// The serial port on Windows: COM1..COM4 through the Win32 communications API.
//
// Reads never wait (ReadIntervalTimeout MAXDWORD, the other read values 0). To wait for input
// without using the processor, PortWaitReadable switches the read time-outs for one call to the
// documented "return at once with what is there, else wait up to N ms for the first byte" form
// (interval and multiplier MAXDWORD, constant N), reads at most one byte that way, and keeps it
// for the next PortRead. The time-outs are then set back, so every other read stays
// non-waiting.
#include <windows.h>

#include <algorithm>

#include "platform/clock.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "serial/output_drain.h"
#include "serial/port.h"
#include "serial/port_counters.h"
#include "serial/port_device.h"
#include "serial/port_state.h"
#include "serial/win32_port_state.h"

namespace {

HANDLE AsHandle(SerialLink link) {
    return reinterpret_cast<HANDLE>(link);
}

void KeepError() {
    SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
}

// The reason of a failed read or write: the errors that a device gives once it has gone away (a
// USB adapter pulled out, a line that hung up: every WriteFile then fails with
// ERROR_NOT_READY) are ErrorOperationAborted, as on every platform.
uint32_t PortErrorValue(DWORD error) {
    switch (error) {
        case ERROR_NOT_READY:
        case ERROR_OPERATION_ABORTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_BAD_COMMAND:
        case ERROR_ACCESS_DENIED:
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
            return ErrorOperationAborted;
        default:
            return static_cast<uint32_t>(error);
    }
}

// How long one wait of PortWaitReadable lasts at most before it looks for an interrupt.
constexpr uint32_t LongestWaitPieceMs = 100;

// After a write that the driver took whole: on a link with a write limit, the bytes must also
// leave the port within it (a USB adapter's driver takes them before the line is free).
int AwaitSentWithinLimit(SerialLink link, uint32_t start, uint32_t length, uint32_t& written) {
    HANDLE handle = AsHandle(link);
    COMMTIMEOUTS timeouts{};
    if (!GetCommTimeouts(handle, &timeouts) ||
        (timeouts.WriteTotalTimeoutMultiplier == 0 && timeouts.WriteTotalTimeoutConstant == 0))
        return 1;
    uint32_t baudRate = 0;
    (void)PortHeld(link, baudRate);
    const uint64_t limit = static_cast<uint64_t>(timeouts.WriteTotalTimeoutMultiplier) * length +
                           timeouts.WriteTotalTimeoutConstant;
    return AwaitOutputSent(link, start, static_cast<uint32_t>(std::min<uint64_t>(limit, MAXDWORD)),
                           baudRate, written);
}

}  // namespace

const char* PortDeviceName(int portNumber) {
    static const char* const names[] = {"COM1", "COM2", "COM3", "COM4"};
    if (portNumber < 1 || portNumber > 4)
        return nullptr;
    return names[portNumber - 1];
}

bool PortDeviceIsDefault(int) {
    return false;
}

SerialLink OpenPortDevice(const char* name, uint32_t baudRate, int noWriteTimeout,
                          int hardwareHandshake, int evenParity) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, &inherit, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        KeepError();
        return InvalidLink;
    }
    auto link = reinterpret_cast<SerialLink>(handle);
    if (!HoldPort(link)) {
        CloseHandle(handle);
        return InvalidLink;
    }
    // Gives back what the open took and closes the device, keeping the reason of the failure.
    auto fail = [&]() {
        KeepError();
        const uint32_t reason = GetLastErrorValue();
        ReleasePort(link, true);
        CloseHandle(handle);
        SetLastErrorValue(reason);
        return InvalidLink;
    };

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &dcb))
        return fail();
    const bool handshake = hardwareHandshake == 1 && evenParity != 1;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = baudRate;
    dcb.fBinary = TRUE;
    dcb.ByteSize = 8;
    dcb.StopBits = ONESTOPBIT;
    dcb.fAbortOnError = FALSE;
    dcb.fParity = evenParity == 1 ? TRUE : FALSE;
    dcb.Parity = evenParity == 1 ? EVENPARITY : NOPARITY;
    dcb.fOutxCtsFlow = handshake ? TRUE : FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = handshake ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = handshake ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    if (!SetCommState(handle, &dcb))
        return fail();

    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = noWriteTimeout != 0 ? 0 : 1;
    timeouts.WriteTotalTimeoutConstant = noWriteTimeout != 0 ? 0 : 10;
    if (!SetCommTimeouts(handle, &timeouts))
        return fail();

    SleepMs(300);
    if (!GetCommState(handle, &dcb))
        return fail();

    return link;
}

int SetPortDeviceSpeed(SerialLink link, uint32_t baudRate) {
    SleepMs(300);
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(AsHandle(link), &dcb)) {
        KeepError();
        return 0;
    }
    if (dcb.BaudRate == baudRate)
        return 1;
    dcb.BaudRate = baudRate;
    if (!SetCommState(AsHandle(link), &dcb)) {
        KeepError();
        return 0;
    }
    SleepMs(500);
    return 1;
}

void ClosePortDevice(SerialLink link) {
    if (link == InvalidLink)
        return;
    ReleasePort(link, true);
    CloseHandle(AsHandle(link));
}

int ReadPortDevice(SerialLink link, uint8_t* buffer, uint32_t maximum, uint32_t& got) {
    got = 0;
    if (maximum == 0)
        return 1;
    Win32Port* port = FindPort(link);
    if (port != nullptr && port->pendingPresent) {
        buffer[0] = port->pendingValue;
        port->pendingPresent = false;
        got = 1;
        ++buffer;
        --maximum;
        if (maximum == 0)
            return 1;
    }
    DWORD count = 0;
    if (!ReadFile(AsHandle(link), buffer, maximum, &count, nullptr)) {
        if (got > 0)
            return 1;  // deliver the kept byte; the error shows on the next read
        SetLastErrorValue(PortErrorValue(GetLastError()));
        return 0;
    }
    got += count;
    return 1;
}

int WritePortDevice(SerialLink link, const uint8_t* data, uint32_t length, uint32_t& written) {
    CheckInterrupt();
    const uint32_t start = ClockMs();
    DWORD count = 0;
    const BOOL ok = WriteFile(AsHandle(link), data, length, &count, nullptr);
    written = count;
    CountBytesSent(count);
    if (!ok) {
        SetLastErrorValue(PortErrorValue(GetLastError()));
        return 0;
    }
    if (count < length) {
        // The port's write limit cut the call short.
        SetLastErrorValue(ErrorCounterTimeout);
        return 0;
    }
    return AwaitSentWithinLimit(link, start, length, written);
}

int PortWaitReadable(SerialLink link, uint32_t timeoutMs) {
    Win32Port* port = FindPort(link);
    if (port == nullptr || port->pendingPresent)
        return 1;  // a port not held cannot keep a byte: let the caller read
    HANDLE handle = AsHandle(link);
    COMMTIMEOUTS saved{};
    if (!GetCommTimeouts(handle, &saved))
        return 1;
    uint32_t remaining = timeoutMs;
    for (;;) {
        // Long waits are made in pieces, so that an interrupt is noticed between them (and some
        // serial drivers mishandle huge read time-outs); WaitForever never ends by itself.
        const uint32_t piece = remaining > LongestWaitPieceMs ? LongestWaitPieceMs : remaining;
        COMMTIMEOUTS waiting = saved;
        waiting.ReadIntervalTimeout = MAXDWORD;
        waiting.ReadTotalTimeoutMultiplier = MAXDWORD;
        waiting.ReadTotalTimeoutConstant = piece == 0 ? 1 : piece;
        if (!SetCommTimeouts(handle, &waiting))
            return 1;
        // Not named `byte`: the Windows headers define a type of that name.
        uint8_t received = 0;
        DWORD count = 0;
        const BOOL ok = ReadFile(handle, &received, 1, &count, nullptr);
        SetCommTimeouts(handle, &saved);
        CheckInterrupt();
        if (!ok)
            return 1;  // the next PortRead reports the failure
        if (count == 1) {
            port->pendingValue = received;
            port->pendingPresent = true;
            return 1;
        }
        if (timeoutMs != WaitForever) {
            remaining -= piece;
            if (remaining == 0)
                return 0;
        }
    }
}

void PortClearErrors(SerialLink link) {
    DWORD errors = 0;
    COMSTAT status{};
    ClearCommError(AsHandle(link), &errors, &status);
}

void PortSetWriteLimits(SerialLink link, uint32_t multiplierMs, uint32_t constantMs) {
    COMMTIMEOUTS timeouts{};
    GetCommTimeouts(AsHandle(link), &timeouts);
    timeouts.WriteTotalTimeoutMultiplier = multiplierMs;
    timeouts.WriteTotalTimeoutConstant = constantMs;
    SetCommTimeouts(AsHandle(link), &timeouts);
}

int PortOutputQueued(SerialLink link, uint32_t& bytes) {
    DWORD errors = 0;
    COMSTAT status{};
    if (!ClearCommError(AsHandle(link), &errors, &status))
        return 0;
    bytes = status.cbOutQue;
    return 1;
}

void DiscardPortDeviceOutput(SerialLink link) {
    PurgeComm(AsHandle(link), PURGE_TXABORT | PURGE_TXCLEAR);
}

int FlushPortDevice(SerialLink link) {
    if (!FlushFileBuffers(AsHandle(link))) {
        KeepError();
        return 0;
    }
    return 1;
}
