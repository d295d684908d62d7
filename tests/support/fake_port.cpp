// Virtual clock and scripted port: replaces the real clock and serial port in the scripted
// protocol tests (see fake_port.h).
#include "tests/support/fake_port.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "platform/clock.h"
#include "platform/platform.h"
#include "serial/output_drain.h"
#include "serial/port.h"
#include "serial/port_counters.h"

namespace {

struct TimedByte {
    uint32_t at;
    uint8_t value;
};

struct FakeState {
    uint32_t now = 0;
    uint32_t timeCap = 24u * 3600u * 1000u;
    std::deque<TimedByte> fromBox;
    std::vector<uint8_t> written;
    std::vector<uint32_t> writeCalls;
    std::function<void(std::span<const uint8_t>)> responder;
    std::function<void()> stallHandler;
    uint32_t readError = 0;
    int readFailures = 0;
    uint32_t writeError = 0;
    int writeFailures = 0;
    uint32_t openError = 0;
    int openFailures = 0;
    int baudFailures = 0;
    uint32_t emptyReadsAtSameTime = 0;
    uint32_t lastEmptyReadAt = 0;
    uint32_t writeLimitBytes = 0;
    uint32_t writeCostMs = 0;
    fake::OutputQueue outputQueue = fake::OutputQueue::Empty;
    uint32_t outputRate = 0;  // bytes per second while Draining
    uint32_t outputQueued = 0;
    uint32_t outputQueuedAt = 0;  // the time at which outputQueued was right
    uint32_t lastQueueLookAt = 0;
    uint32_t queueLooksAtSameTime = 0;
    fake::PortRecord port;
};

FakeState& State() {
    static FakeState state;
    return state;
}

void CheckTimeCap() {
    if (State().now > State().timeCap) {
        std::fprintf(stderr, "fake port: virtual time passed %u ms; endless loop?\n",
                     State().timeCap);
        std::abort();
    }
}

void AdvanceClock(uint32_t ms) {
    State().now += ms;
    CheckTimeCap();
}

constexpr SerialLink FakeHandle = 42;

// Brings the output queue to the current time: what the line has taken since leaves it.
void UpdateOutputQueue() {
    auto& s = State();
    if (s.outputQueue == fake::OutputQueue::Draining) {
        const uint64_t gone = static_cast<uint64_t>(s.now - s.outputQueuedAt) * s.outputRate / 1000;
        if (gone >= s.outputQueued) {
            s.outputQueued = 0;
            s.outputQueuedAt = s.now;
        } else if (gone > 0) {
            s.outputQueued -= static_cast<uint32_t>(gone);
            // Keep the part of a byte already on its way.
            s.outputQueuedAt += static_cast<uint32_t>(gone * 1000 / s.outputRate);
        }
    } else {
        s.outputQueuedAt = s.now;
    }
}

}  // namespace

namespace fake {

void Reset() {
    State() = FakeState{};
}

uint32_t Now() {
    return State().now;
}
void Advance(uint32_t ms) {
    AdvanceClock(ms);
}

void BoxSendsAt(uint32_t atMs, std::string_view bytes) {
    // Keep the queue ordered by arrival time; bytes queued for the same moment keep their order.
    auto& queue = State().fromBox;
    if (!queue.empty() && queue.back().at > atMs)
        atMs = queue.back().at;
    for (char c : bytes)
        queue.push_back({atMs, static_cast<uint8_t>(c)});
}

void BoxSends(std::string_view bytes, uint32_t delayMs) {
    BoxSendsAt(State().now + delayMs, bytes);
}

void BoxSends(std::span<const uint8_t> bytes, uint32_t delayMs) {
    BoxSends(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), delayMs);
}

size_t PendingFromBox() {
    return State().fromBox.size();
}

const std::vector<uint8_t>& Written() {
    return State().written;
}
std::string WrittenText() {
    return std::string(State().written.begin(), State().written.end());
}
void ClearWritten() {
    State().written.clear();
    State().writeCalls.clear();
}
const std::vector<uint32_t>& WriteCalls() {
    return State().writeCalls;
}

void SetResponder(std::function<void(std::span<const uint8_t>)> responder) {
    State().responder = std::move(responder);
}

void FailReads(uint32_t error, int count) {
    State().readError = error;
    State().readFailures = count;
}
void LimitWrites(uint32_t bytes, uint32_t costMs) {
    State().writeLimitBytes = bytes;
    State().writeCostMs = costMs;
}
void FailWrites(uint32_t error, int count) {
    State().writeError = error;
    State().writeFailures = count;
}
void FailOpens(uint32_t error, int count) {
    State().openError = error;
    State().openFailures = count;
}
void FailBaudChanges(int count) {
    State().baudFailures = count;
}

void SetOutputQueue(OutputQueue queue, uint32_t bytesPerSecond) {
    State().outputQueue = queue;
    State().outputRate = bytesPerSecond;
    State().outputQueued = 0;
    State().outputQueuedAt = State().now;
}
uint32_t OutputQueued() {
    UpdateOutputQueue();
    return State().outputQueued;
}

const PortRecord& Port() {
    return State().port;
}

void SetStallHandler(std::function<void()> handler) {
    State().stallHandler = std::move(handler);
}
void SetTimeCap(uint32_t ms) {
    State().timeCap = ms;
}

}  // namespace fake

// ---- Clock -------------------------------------------------------------------------------------

uint32_t ClockMs() {
    return State().now;
}

void SleepMs(uint32_t ms) {
    AdvanceClock(ms);
}

// ---- Port --------------------------------------------------------------------------------------

const char* PortDeviceName(int portNumber) {
    static const char* const names[] = {"COM1", "COM2", "COM3", "COM4"};
    if (portNumber < 1 || portNumber > 4)
        return nullptr;
    return names[portNumber - 1];
}

bool PortDeviceIsDefault(int) {
    return false;
}

SerialLink OpenSerialLink(int portNumber, uint32_t baudRate, int noWriteTimeout,
                          int hardwareHandshake, int evenParity) {
    auto& s = State();
    if (PortDeviceName(portNumber) == nullptr) {
        SetLastErrorValue(ErrorBadPort);
        return InvalidLink;
    }
    if (s.openFailures > 0) {
        --s.openFailures;
        SetLastErrorValue(s.openError);
        return InvalidLink;
    }
    s.port.open = true;
    ++s.port.opens;
    s.port.portNumber = portNumber;
    s.port.baudRate = baudRate;
    s.port.baudHistory.push_back(baudRate);
    s.port.noWriteTimeout = noWriteTimeout;
    s.port.hardwareHandshake = hardwareHandshake == 1 && evenParity != 1 ? 1 : 0;
    s.port.evenParity = evenParity == 1 ? 1 : 0;
    s.port.writeMultiplierMs = noWriteTimeout != 0 ? 0 : 1;
    s.port.writeConstantMs = noWriteTimeout != 0 ? 0 : 10;
    AdvanceClock(300);
    return FakeHandle;
}

int ChangeBaudRate(SerialLink, uint32_t baudRate) {
    auto& s = State();
    AdvanceClock(300);
    if (s.baudFailures > 0) {
        --s.baudFailures;
        SetLastErrorValue(31);
        return 0;
    }
    if (s.port.baudRate == baudRate)
        return 1;
    s.port.baudRate = baudRate;
    s.port.baudHistory.push_back(baudRate);
    AdvanceClock(500);
    return 1;
}

void CloseSerialLink(SerialLink) {
    State().port.open = false;
    ++State().port.closes;
}

int PortRead(SerialLink, uint8_t* buffer, uint32_t maximum, uint32_t& got) {
    auto& s = State();
    got = 0;
    if (s.readFailures > 0) {
        --s.readFailures;
        SetLastErrorValue(s.readError);
        return 0;
    }
    while (got < maximum && !s.fromBox.empty() && s.fromBox.front().at <= s.now) {
        buffer[got++] = s.fromBox.front().value;
        s.fromBox.pop_front();
    }
    if (got == 0) {
        // A loop that polls without ever waiting would spin forever on the frozen clock.
        if (s.lastEmptyReadAt == s.now) {
            if (++s.emptyReadsAtSameTime > 10000000u) {
                std::fprintf(stderr, "fake port: endless empty reads without waiting\n");
                std::abort();
            }
        } else {
            s.lastEmptyReadAt = s.now;
            s.emptyReadsAtSameTime = 0;
        }
    }
    return 1;
}

int PortWrite(SerialLink, const uint8_t* data, uint32_t length, uint32_t& written) {
    auto& s = State();
    written = 0;
    if (s.writeFailures > 0) {
        --s.writeFailures;
        SetLastErrorValue(s.writeError);
        return 0;
    }
    uint32_t take = length;
    bool cut = false;
    if (s.writeLimitBytes != 0 && take > s.writeLimitBytes) {
        take = s.writeLimitBytes;
        cut = true;
    }
    s.written.insert(s.written.end(), data, data + take);
    s.writeCalls.push_back(take);
    written = take;
    CountBytesSent(take);
    const uint32_t start = s.now;
    if (s.outputQueue == fake::OutputQueue::Draining || s.outputQueue == fake::OutputQueue::Held) {
        UpdateOutputQueue();
        s.outputQueued += take;
    }
    if (cut)
        AdvanceClock(s.writeCostMs);
    if (s.responder && take > 0) {
        auto responder = s.responder;  // the responder may replace itself
        responder(std::span<const uint8_t>(data, take));
    }
    if (cut) {
        SetLastErrorValue(ErrorCounterTimeout);
        return 0;
    }
    // As on the real ports: on a link with a write limit, the bytes must leave within it.
    if (s.port.writeMultiplierMs != 0 || s.port.writeConstantMs != 0) {
        const uint32_t limitMs = s.port.writeMultiplierMs * length + s.port.writeConstantMs;
        return AwaitOutputSent(FakeHandle, start, limitMs, s.port.baudRate, written);
    }
    return 1;
}

int PortWaitReadable(SerialLink, uint32_t timeoutMs) {
    auto& s = State();
    if (s.readFailures > 0)
        return 1;
    if (!s.fromBox.empty()) {
        uint32_t at = s.fromBox.front().at;
        if (at <= s.now)
            return 1;
        if (timeoutMs == WaitForever || at - s.now <= timeoutMs) {
            AdvanceClock(at - s.now);
            return 1;
        }
    }
    if (timeoutMs == WaitForever) {
        if (s.stallHandler) {
            s.stallHandler();
            if (!s.fromBox.empty())
                return PortWaitReadable(FakeHandle, timeoutMs);
        }
        std::fprintf(stderr, "fake port: the program waits without limit on a silent box\n");
        std::abort();
    }
    AdvanceClock(timeoutMs);
    return 0;
}

void PortClearErrors(SerialLink) {
    ++State().port.clearErrorCalls;
}

void PortSetWriteLimits(SerialLink, uint32_t multiplierMs, uint32_t constantMs) {
    State().port.writeMultiplierMs = multiplierMs;
    State().port.writeConstantMs = constantMs;
}

int PortOutputQueued(SerialLink, uint32_t& bytes) {
    auto& s = State();
    ++s.port.outputQueueLooks;
    // A wait for the queue that looks again and again without pausing would spin forever on the
    // frozen clock.
    if (s.lastQueueLookAt == s.now && s.port.outputQueueLooks > 1) {
        if (++s.queueLooksAtSameTime > 1000u) {
            std::fprintf(stderr, "fake port: endless looks at the output queue without waiting\n");
            std::abort();
        }
    } else {
        s.lastQueueLookAt = s.now;
        s.queueLooksAtSameTime = 0;
    }
    if (s.outputQueue == fake::OutputQueue::Unknown) {
        return 0;
    }
    UpdateOutputQueue();
    bytes = s.outputQueued;
    return 1;
}

void PortDiscardOutput(SerialLink) {
    auto& s = State();
    ++s.port.outputDiscards;
    UpdateOutputQueue();
    // The bytes still queued are the last ones written: they never reach the line.
    const uint32_t lost =
        std::min<uint32_t>(s.outputQueued, static_cast<uint32_t>(s.written.size()));
    s.written.resize(s.written.size() - lost);
    s.outputQueued = 0;
}

int PortFlush(SerialLink) {
    ++State().port.flushCalls;
    return 1;
}
