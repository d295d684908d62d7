// The line trace (serial/line_trace.h): bursts and events formatted into a static buffer, which
// goes into the trace file when it is full and at the moments a reader must not miss.
#include "serial/line_trace.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "platform/file.h"
#include "platform/platform.h"
#include "platform/shutdown.h"

bool lineTraceActive = false;

namespace {

using TraceClock = std::chrono::steady_clock;
// Taken while the program starts (static initialisation), the origin of every time in a trace.
const TraceClock::time_point programStart = TraceClock::now();

constexpr std::size_t BufferSize = std::size_t{64} * 1024;
// No line is longer: 11 digits, a blank, 8 characters, a blank, 48 of hex, 18 of text and the
// line end for bytes; events are cut to fit.
constexpr std::size_t LongestLine = 400;
constexpr int TemporaryNameTries = 100;

#if defined(_WIN32)
// A file that is open (without sharing its deletion) cannot be renamed on Windows: the trace
// takes its name when it is closed.
constexpr bool RenameWhileOpen = false;
#else
constexpr bool RenameWhileOpen = true;
#endif

std::array<char, BufferSize> buffer{};
std::size_t used = 0;

File traceFile;
std::string traceName;      // the name the trace is to have
std::string temporaryName;  // its own name until it takes that one
bool inPlace = false;
bool writeFailed = false;
uint32_t writeFailure = 0;
bool finished = true;
LineTraceFailureReport failureReport = nullptr;

// The line of bytes being gathered.
struct Burst {
    LineDirection direction = LineDirection::ProgToBox;
    uint64_t startUs = 0;
    uint64_t lastUs = 0;
    std::array<uint8_t, TraceBytesPerLine> bytes{};
    uint32_t count = 0;
};
Burst burst;

const char* DirectionLabel(LineDirection direction) {
    return direction == LineDirection::ProgToBox ? "prog>box" : "box>prog";
}

// Writes what the buffer holds into the file. The caller's error state (errno and the
// last-error value) stays as it was: the trace never changes what the program sees.
void WriteOut() {
    if (used == 0 || !traceFile.IsOpen()) {
        used = 0;
        return;
    }
    const int savedErrno = errno;
    const uint32_t savedError = GetLastErrorValue();
    if (traceFile.Write(buffer.data(), static_cast<uint32_t>(used)) == 0) {
        // A full disk: the update goes on without the trace; the end of the program says so.
        writeFailed = true;
        writeFailure = GetLastErrorValue();
        lineTraceActive = false;
    }
    used = 0;
    SetLastErrorValue(savedError);
    errno = savedErrno;
}

void Append(const char* text, std::size_t length) {
    if (used + length > buffer.size()) {
        WriteOut();
    }
    length = std::min(length, buffer.size());
    std::memcpy(buffer.data() + used, text, length);
    used += length;
}

// The time column: right-aligned in 11 places.
char* PutTime(char* out, uint64_t microseconds) {
    std::array<char, 24> digits{};
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + microseconds % 10);
        microseconds /= 10;
    } while (microseconds != 0 && n < digits.size());
    for (std::size_t pad = n; pad < 11; ++pad) {
        *out++ = ' ';
    }
    while (n > 0) {
        *out++ = digits[--n];
    }
    return out;
}

void EmitBurst() {
    if (burst.count == 0) {
        return;
    }
    static constexpr char Hex[] = "0123456789abcdef";
    std::array<char, LongestLine> line{};
    char* out = PutTime(line.data(), burst.startUs);
    *out++ = ' ';
    const char* label = DirectionLabel(burst.direction);
    out = std::copy(label, label + std::strlen(label), out);
    *out++ = ' ';
    for (uint32_t i = 0; i < TraceBytesPerLine; ++i) {
        if (i < burst.count) {
            *out++ = Hex[burst.bytes[i] >> 4];
            *out++ = Hex[burst.bytes[i] & 0x0F];
        } else {
            *out++ = ' ';
            *out++ = ' ';
        }
        *out++ = ' ';
    }
    *out++ = '|';
    for (uint32_t i = 0; i < burst.count; ++i) {
        const uint8_t byte = burst.bytes[i];
        *out++ = byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '.';
    }
    *out++ = '|';
    *out++ = '\n';
    Append(line.data(), static_cast<std::size_t>(out - line.data()));
    burst.count = 0;
}

// Events after which the buffer goes out at once: the last lines before the program may end
// (by an interrupt, after the port's settings were given back) must be in the file.
bool FlushesAtOnce(const char* name) {
    for (const char* event : {"restored", "close", "error", "stop", "end"}) {
        if (std::strcmp(name, event) == 0) {
            return true;
        }
    }
    return false;
}

void Finish() {
    if (finished) {
        return;
    }
    if (CloseLineTrace() == 0 && failureReport != nullptr) {
        failureReport(traceName.c_str(), GetLastErrorValue());
    }
}

// An interrupt: what was gathered goes out now; the lines that say the port's settings were
// given back follow before the trace is finished.
void NoteStop(ShutdownKind, int) {
    TraceLineEvent("stop", "the program ends by an interrupt");
}

void FinishAtTheEnd(ShutdownKind kind, int) {
    if (kind != ShutdownKind::Interrupt) {
        TraceLineEvent("end", "of the program");
    }
    Finish();
}

// Creates a file of this process's own beside `fileName`; `name` tells which.
File CreateTemporaryFile(const char* fileName, std::string& name) {
    File file;
    for (int n = 0; n < TemporaryNameTries && !file.IsOpen(); ++n) {
        std::array<char, 32> suffix{};
        std::snprintf(suffix.data(), suffix.size(), ".%x-%d", CurrentProcessId(), n);
        name = std::string(fileName) + suffix.data();
        file = File::CreateNew(name.c_str());
    }
    return file;
}

// Puts a file at `fileName` now, when the trace itself takes the name only at the end: an
// empty file of this process's own replaces the name, so that a name that cannot be replaced
// (a directory stands there) shows at the start, and the trace then replaces the empty file.
bool ClaimName(const char* fileName) {
    std::string claim;
    File file = CreateTemporaryFile(fileName, claim);
    if (!file.IsOpen()) {
        return false;
    }
    file.Close();
    if (ReplaceFileNamed(claim.c_str(), fileName) == 0) {
        const uint32_t reason = GetLastErrorValue();
        (void)DeleteFileNamed(claim.c_str());
        SetLastErrorValue(reason);
        return false;
    }
    return true;
}

}  // namespace

uint64_t LineTraceMicroseconds() {
    const auto elapsed = TraceClock::now() - programStart;
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count());
}

int OpenLineTrace(const char* fileName, const char* headerLines, LineTraceFailureReport report) {
    if (!finished) {
        (void)CloseLineTrace();
    }
    File file = CreateTemporaryFile(fileName, temporaryName);
    if (!file.IsOpen()) {
        return 0;
    }
    if (RenameWhileOpen ? ReplaceFileNamed(temporaryName.c_str(), fileName) == 0
                        : !ClaimName(fileName)) {
        const uint32_t reason = GetLastErrorValue();
        file.Close();
        (void)DeleteFileNamed(temporaryName.c_str());
        SetLastErrorValue(reason);
        return 0;
    }
    traceFile = std::move(file);
    traceName = fileName;
    inPlace = RenameWhileOpen;
    writeFailed = false;
    finished = false;
    failureReport = report;
    burst = Burst{};
    used = 0;

    std::array<char, 64> started{};
    const std::time_t now = std::time(nullptr);
    if (const std::tm* utc = std::gmtime(&now)) {
        std::strftime(started.data(), started.size(), "%Y-%m-%d %H:%M:%S UTC", utc);
    }
    std::array<char, LongestLine> line{};
    const int length = std::snprintf(
        line.data(), line.size(),
        "# line trace, format 1, started %s\n"
        "# microseconds since the start, prog>box or box>prog with up to 16 bytes in hex and "
        "|as text|, or an event\n",
        started.data());
    Append(line.data(), static_cast<std::size_t>(std::max(length, 0)));
    Append(headerLines, std::strlen(headerLines));
    lineTraceActive = true;
    WriteOut();
    if (!lineTraceActive) {
        // Not even the first lines could be written.
        const uint32_t reason = writeFailure;
        finished = true;
        traceFile.Close();
        (void)DeleteFileNamed(inPlace ? fileName : temporaryName.c_str());
        SetLastErrorValue(reason);
        return 0;
    }

    InstallShutdownAction(ShutdownStage::TraceStopNoted, NoteStop);
    InstallShutdownAction(ShutdownStage::TraceFinished, FinishAtTheEnd);
    return 1;
}

int CloseLineTrace() {
    if (finished) {
        return 1;
    }
    finished = true;
    EmitBurst();
    WriteOut();
    lineTraceActive = false;
    traceFile.Close();
    int result = 1;
    uint32_t reason = 0;
    if (writeFailed) {
        result = 0;
        reason = writeFailure;
    }
    if (!inPlace) {
        if (ReplaceFileNamed(temporaryName.c_str(), traceName.c_str()) == 0) {
            result = 0;
            reason = GetLastErrorValue();
            (void)DeleteFileNamed(temporaryName.c_str());
        }
        inPlace = true;
    }
    if (result == 0) {
        SetLastErrorValue(reason);
    }
    return result;
}

void FlushLineTrace() {
    if (lineTraceActive) {
        EmitBurst();
        WriteOut();
    }
}

void RecordLineBytes(LineDirection direction, const uint8_t* data, uint32_t length) {
    RecordLineBytesAt(LineTraceMicroseconds(), direction, data, length);
}

void RecordLineBytesAt(uint64_t microseconds, LineDirection direction, const uint8_t* data,
                       uint32_t length) {
    if (!lineTraceActive) {
        return;
    }
    if (burst.count != 0 &&
        (burst.direction != direction || microseconds > burst.lastUs + TraceBurstGapUs)) {
        EmitBurst();
    }
    while (length > 0) {
        if (burst.count == 0) {
            burst.direction = direction;
            burst.startUs = microseconds;
        }
        const uint32_t take = std::min(TraceBytesPerLine - burst.count, length);
        std::memcpy(burst.bytes.data() + burst.count, data, take);
        burst.count += take;
        data += take;
        length -= take;
        if (burst.count == TraceBytesPerLine) {
            EmitBurst();
        }
    }
    burst.lastUs = microseconds;
}

void TraceLineEvent(const char* name, const char* format, ...) {
    if (!lineTraceActive) {
        return;
    }
    const uint64_t now = LineTraceMicroseconds();
    EmitBurst();
    std::array<char, LongestLine> line{};
    char* out = PutTime(line.data(), now);
    *out++ = ' ';
    const int nameLength = std::snprintf(
        out, line.size() - static_cast<std::size_t>(out - line.data()), "%-8s ", name);
    out += std::max(nameLength, 0);
    const std::size_t room = line.size() - static_cast<std::size_t>(out - line.data()) - 1;
    va_list arguments;
    va_start(arguments, format);
    const int textLength = std::vsnprintf(out, room, format, arguments);
    va_end(arguments);
    out += std::min<std::size_t>(static_cast<std::size_t>(std::max(textLength, 0)), room - 1);
    *out++ = '\n';
    Append(line.data(), static_cast<std::size_t>(out - line.data()));
    if (FlushesAtOnce(name)) {
        WriteOut();
    }
}

void RecordPortCall(const char* call, int ok, LineDirection direction, const uint8_t* data,
                    uint32_t moved) {
    const int savedErrno = errno;
    const uint32_t reason = GetLastErrorValue();
    if (moved != 0) {
        RecordLineBytes(direction, data, moved);
    }
    if (ok == 0) {
        TraceLineEvent("error", "%s %u (%s)", call, reason, SystemErrorText(reason));
    }
    SetLastErrorValue(reason);
    errno = savedErrno;
}

void TracePortOpen(int portNumber, const char* device, uint32_t baudRate, bool evenParity,
                   bool rtsCts) {
    if (!lineTraceActive) {
        return;
    }
    TraceLineEvent("open", "port %d %s, %u baud, parity %s, RTS/CTS %s", portNumber,
                   device != nullptr ? device : "?", baudRate, evenParity ? "even" : "none",
                   rtsCts ? "on" : "off");
}
