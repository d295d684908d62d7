// The wait until a write's bytes have left the port, within the write's own limit.
#include "serial/output_drain.h"

#include <algorithm>

#include "platform/clock.h"
#include "platform/platform.h"

namespace {

constexpr uint64_t BitsPerByte = 10;

}  // namespace

uint32_t TransmitMs(uint32_t bytes, uint32_t baudRate) {
    if (baudRate == 0) {
        return std::max<uint32_t>(bytes, 1);
    }
    const uint64_t ms = (bytes * BitsPerByte * 1000 + baudRate - 1) / baudRate;
    return static_cast<uint32_t>(std::clamp<uint64_t>(ms, 1, UINT32_MAX));
}

int DrainOutput(SerialLink link, uint32_t startMs, uint32_t limitMs, uint32_t baudRate,
                bool watchInput, uint32_t& queued) {
    for (;;) {
        queued = 0;
        if (PortOutputQueued(link, queued) == 0 || queued == 0) {
            queued = 0;
            return 1;
        }
        const uint32_t elapsed = ElapsedMs(startMs);
        if (elapsed >= limitMs) {
            return 0;
        }
        const uint32_t pause = std::min(TransmitMs(queued, baudRate), limitMs - elapsed);
        if (watchInput) {
            // Input that was already waiting would end every such wait at once: after the first
            // early end, the pauses are plain.
            watchInput = PortWaitReadable(link, pause) == 0;
        } else {
            SleepMs(pause);
        }
    }
}

int AwaitOutputSent(SerialLink link, uint32_t startMs, uint32_t limitMs, uint32_t baudRate,
                    uint32_t& written) {
    uint32_t queued = 0;
    if (DrainOutput(link, startMs, limitMs, baudRate, true, queued) != 0) {
        return 1;
    }
    // Held back past the limit: like a write whose limit expired, the bytes that did not go out
    // are not sent later, and the caller sends them again if it wants to.
    PortDiscardOutput(link);
    written -= std::min(queued, written);
    SetLastErrorValue(ErrorCounterTimeout);
    return 0;
}
