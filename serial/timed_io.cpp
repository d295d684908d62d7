// Timed send, receive and wait-for-text operations on an open link.
//
// The link's reads never wait, so every operation reads, checks its time limit itself and tries
// again. Between two reads that brought nothing, the thread blocks in PortWaitReadable until
// input arrives or just past the time limit, so a wait for a silent box costs no processor time
// and the limits still end exactly when the elapsed time exceeds them.
#include <cstdio>
#include <cstring>

#include "platform/clock.h"
#include "platform/platform.h"
#include "serial/serial_link.h"

std::array<char, WaitBufferSize> WaitBuffer{};

namespace {

// Received bytes that WaitFor collects at most; one byte stays free for the terminating zero.
constexpr uint32_t MaxReceived = WaitBufferSize - 1;

constexpr const char* BoxErrorText = "ERROR:";

// Blocks until input is waiting or the limit counted from `start` has been exceeded (limit 0:
// until input is waiting).
void WaitForInput(SerialLink link, uint32_t start, uint32_t limitMs) {
    if (limitMs == NoTimeLimit) {
        PortWaitReadable(link, WaitForever);
        return;
    }
    const uint32_t elapsed = ElapsedMs(start);
    if (elapsed <= limitMs) {
        PortWaitReadable(link, limitMs - elapsed + 1);
    }
}

// Reads one byte within the limit. Returns 1 with `byte` set when a byte arrived, `onExpiry`
// when the limit passed first (`byte` unchanged), 0 when a read failed.
int ReadOneByte(SerialLink link, uint8_t& byte, uint32_t limitMs, int onExpiry) {
    const uint32_t start = ClockMs();
    for (;;) {
        uint8_t value = 0;
        uint32_t got = 0;
        if (!PortRead(link, &value, 1, got)) {
            return 0;
        }
        if (got == 1) {
            byte = value;
            return 1;
        }
        if (limitMs != NoTimeLimit && ElapsedMs(start) > limitMs) {
            return onExpiry;
        }
        WaitForInput(link, start, limitMs);
    }
}

}  // namespace

int SendTimed(SerialLink link, const uint8_t* data, uint32_t length, uint32_t limitMs) {
    const uint32_t start = ClockMs();
    uint32_t left = length;
    for (;;) {
        uint32_t written = 0;
        // A write that ran into the link's own write limit has still sent part of the data:
        // carry on with the rest.
        if (!PortWrite(link, data, left, written) && GetLastErrorValue() != ErrorCounterTimeout) {
            return 0;
        }
        // Checked after every write, before the count: a send whose last write ends after the
        // limit fails even though everything went out.
        if (limitMs != NoTimeLimit && ElapsedMs(start) > limitMs) {
            SetLastErrorValue(ErrorTimeout);
            return 0;
        }
        if (written > left) {
            written = left;
        }
        left -= written;
        data += written;
        if (left == 0) {
            return 1;
        }
    }
}

int SendTimed(SerialLink link, const char* text, uint32_t limitMs) {
    return SendTimed(link, reinterpret_cast<const uint8_t*>(text),
                     static_cast<uint32_t>(std::strlen(text)), limitMs);
}

int WaitFor(SerialLink link, const char* text, uint32_t limitMs) {
    auto* received = reinterpret_cast<uint8_t*>(WaitBuffer.data());
    const uint32_t start = ClockMs();
    uint32_t got = 0;
    if (!PortRead(link, received, MaxReceived, got)) {
        return 0;
    }
    uint32_t count = got;
    // Where the box's error text begins, once it has been seen; from then on only the line
    // feed that ends it is waited for.
    const char* errorText = nullptr;
    for (;;) {
        const uint32_t elapsed = limitMs != NoTimeLimit ? ElapsedMs(start) : 0;
        WaitBuffer[count] = '\0';
        if (count >= MaxReceived) {
            SetLastErrorValue(ErrorWaitBufferFull);
            return 0;
        }
        // The searches see the received text up to its first zero byte.
        if (errorText != nullptr) {
            if (std::strchr(errorText, '\n') != nullptr) {
                std::printf("\n\n%s\n\n", errorText);
                SetLastErrorValue(ErrorBoxErrorText);
                return 0;
            }
        } else {
            if (std::strstr(WaitBuffer.data(), text) != nullptr) {
                return 1;
            }
            errorText = std::strstr(WaitBuffer.data(), BoxErrorText);
        }
        if (limitMs != NoTimeLimit && elapsed > limitMs) {
            SetLastErrorValue(ErrorTimeout);
            return 0;
        }
        if (got == 0) {
            WaitForInput(link, start, limitMs);
        }
        if (!PortRead(link, received + count, MaxReceived - count, got)) {
            return 0;
        }
        count += got;
    }
}

int ReadByteTimed(SerialLink link, uint8_t& byte, uint32_t limitMs) {
    return ReadOneByte(link, byte, limitMs, /*onExpiry=*/0);
}

int ReadByteOrExpire(SerialLink link, uint8_t& byte, uint32_t limitMs) {
    return ReadOneByte(link, byte, limitMs, /*onExpiry=*/1);
}
