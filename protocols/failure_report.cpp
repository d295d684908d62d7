// The lines after a failure line: the port and its device, the system's reason in words and
// what to do, composed from the hint texts next to the message catalogue.
#include "protocols/failure_report.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/errors.h"
#include "platform/devices.h"
#include "platform/platform.h"
#include "serial/line_trace.h"
#include "serial/port.h"

namespace {

int reportedPort = 1;

// The line being composed; a line longer than this is cut short.
std::array<char, 2048> line{};
std::size_t used = 0;

void Start() {
    used = 0;
    line[0] = '\0';
}

void Append(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Append(const char* format, ...) {
    if (used + 1 >= line.size()) {
        return;
    }
    va_list arguments;
    va_start(arguments, format);
    const int n = std::vsnprintf(line.data() + used, line.size() - used, format, arguments);
    va_end(arguments);
    if (n > 0) {
        used = std::min(used + static_cast<std::size_t>(n), line.size() - 1);
    }
}

// "Port 1 (/dev/ttyUSB0)": the port and the device it stands for.
void AppendPort(int portNumber) {
    const char* device = PortDeviceName(portNumber);
    Append(hintText(Hint::PortDevice), portNumber, device != nullptr ? device : "?");
}

// The name of the environment variable that names port n on POSIX.
std::array<char, 8> VariableName(int portNumber) {
    std::array<char, 8> name{};
    std::snprintf(name.data(), name.size(), "COM%d", portNumber);
    return name;
}

// Where to point COMn: the serial devices present, or a note that there are none.
void AppendDeviceAdvice(Hint advice, int portNumber, const char* deviceRoot) {
    std::array<char, 1024> devices{};
    const char* list = devices.data();
    if (ListSerialDevices(deviceRoot, devices) == 0) {
        list = hintText(Hint::DevicesNone);
    }
    Append(" ");
    Append(hintText(advice), VariableName(portNumber).data(), list);
}

// Who may open the device and what the user can do about it: join its group where that is
// safe and gives access, otherwise ask an administrator.
void AppendPermissionAdvice(int portNumber) {
    const char* device = PortDeviceName(portNumber);
    DeviceAccess access;
    Append(" ");
    if (device == nullptr || !ReadDeviceAccess(device, access)) {
        Append(hintText(Hint::OpenNoPermission), device != nullptr ? device : "?");
    } else if (AdviseOnPermission(access) == PermissionAdvice::JoinGroup) {
        Append(hintText(Hint::OpenNoPermissionJoin), access.group.data(), access.group.data());
    } else {
        std::array<char, 8> mode{};
        std::snprintf(mode.data(), mode.size(), "%04o", access.mode);
        Append(hintText(Hint::OpenNoPermissionAdmin), access.owner.data(), access.group.data(),
               mode.data(), device);
    }
}

// The system's words for `error`, then `after`. Windows' texts end in a full stop, POSIX's do
// not: the one that `after` brings is the only one.
void AppendWords(uint32_t error, const char* after) {
    const char* words = SystemErrorText(error);
    std::size_t length = std::strlen(words);
    while (length > 0 && words[length - 1] == '.') {
        --length;
    }
    Append("%.*s%s", static_cast<int>(length), words, after);
}

// "Port 1 (/dev/ttyUSB0): <the system's words>; <meaning>": a failure that came from the port.
const char* PortMeaning(int portNumber, uint32_t error, Hint meaning) {
    Start();
    AppendPort(portNumber);
    Append(": ");
    if (SystemKnowsError(error)) {
        AppendWords(error, "; ");
    }
    Append("%s", hintText(meaning));
    return line.data();
}

bool IsOwnValue(uint32_t error) {
    return error >= ErrorBadPort && error <= ErrorBoxStop;
}

}  // namespace

void SetReportedPort(int portNumber) {
    reportedPort = portNumber;
}

const char* PortOpenHint(int portNumber, uint32_t error, const char* deviceRoot) {
    if (IsOwnValue(error)) {
        return FailureHint(error);
    }
    Start();
    AppendPort(portNumber);
    const bool words = SystemKnowsError(error);
    if (words) {
        Append(": ");
        AppendWords(error, ".");
    } else {
        Append(":");
    }
    const std::size_t before = used;
    const PortFailure failure = ClassifyPortError(error);
    switch (failure) {
        case PortFailure::Missing:
        case PortFailure::DeviceGone:
        case PortFailure::NotASerialPort:
            if (!PortsAreNamedByVariables()) {
                // A COM port name that leads to no serial port: there is no such port.
                Append(" %s", hintText(Hint::OpenMissingPort));
            } else if (failure == PortFailure::NotASerialPort) {
                AppendDeviceAdvice(Hint::OpenNotASerialPort, portNumber, deviceRoot);
            } else {
                const char* variable = std::getenv(VariableName(portNumber).data());
                const bool set = variable != nullptr && *variable != '\0';
                AppendDeviceAdvice(
                    set ? Hint::OpenMissingVariableSet : Hint::OpenMissingVariableUnset, portNumber,
                    deviceRoot);
            }
            break;
        case PortFailure::NoPermission:
            AppendPermissionAdvice(portNumber);
            break;
        case PortFailure::Busy:
            Append(" %s", hintText(Hint::OpenBusy));
            break;
        default:
            break;
    }
    if (!words && used == before) {
        return nullptr;  // neither the system's words nor advice: no line
    }
    return line.data();
}

const char* FailureHint(uint32_t error) {
    Start();
    if (IsOwnValue(error)) {
        const auto own = static_cast<Hint>(static_cast<int>(Hint::OwnBadPort) +
                                           static_cast<int>(error - ErrorBadPort));
        Append("0x%08X: %s", error, hintText(own));
        return line.data();
    }
    // Only the failures that can come from the port itself name it; a value such as "no such
    // file" or "permission denied" during the run may as well come from the image file.
    const PortFailure failure = ClassifyPortError(error);
    if (error == ErrorCounterTimeout) {
        return PortMeaning(reportedPort, error, Hint::RunWriteLimit);
    }
    if (failure == PortFailure::DeviceGone || failure == PortFailure::Refused) {
        return PortMeaning(
            reportedPort, error,
            failure == PortFailure::DeviceGone ? Hint::RunDeviceGone : Hint::RunRefused);
    }
    if (SystemKnowsError(error)) {
        AppendWords(error, ".");
        return line.data();
    }
    return nullptr;
}

const char* DefaultDeviceNote(int portNumber) {
    if (!PortDeviceIsDefault(portNumber)) {
        return nullptr;
    }
    Start();
    const std::array<char, 8> variable = VariableName(portNumber);
    Append(hintText(Hint::DefaultDevice), portNumber, PortDeviceName(portNumber), variable.data(),
           variable.data());
    return line.data();
}

const char* SessionPortHint(Hint hint) {
    Start();
    AppendPort(reportedPort);
    Append(": %s", hintText(hint));
    return line.data();
}

const char* InvalidPortHint() {
    return hintText(PortsAreNamedByVariables() ? Hint::InvalidPortVariables
                                               : Hint::InvalidPortWindows);
}

const char* ImageProblemHint(const char* imageName, PadProblem problem, uint32_t error) {
    static constexpr std::array<Hint, 9> hints{
        Hint::ImageMissing,     Hint::ImageEmpty,      Hint::ImageTruncated,
        Hint::ImageDirectory,   Hint::ImageNotRegular, Hint::ImageUnreadable,
        Hint::ImageBadChecksum, Hint::ImageUnknownTag, Hint::ImageTooLarge};
    const auto index = static_cast<std::size_t>(problem) - 1;
    if (problem == PadProblem::None || index >= hints.size()) {
        return nullptr;
    }
    Start();
    // Only the unreadable file takes the system's words; the other texts have one value.
    std::array<char, 512> words{};
    std::snprintf(words.data(), words.size(), "%s", SystemErrorText(error));
    std::size_t length = std::strlen(words.data());
    while (length > 0 && words[length - 1] == '.') {
        words[--length] = '\0';
    }
    Append(hintText(hints[index]), imageName, words.data());
    return line.data();
}

void PrintHint(const char* hint) {
    if (hint != nullptr && *hint != '\0') {
        std::fprintf(ErrorOutput(), "%s\n", hint);
    }
}

const char* PortReopenHint(int portNumber, uint32_t error) {
    return PortMeaning(portNumber, error, Hint::RunDeviceGone);
}

namespace {

NotedFailure lastFailure;
bool failureKept = false;

// Gives the last-error value back as it was when a report began, whatever the hint's look-ups
// and the printing did to it.
class LastErrorKept {
  public:
    LastErrorKept() : kept_(GetLastErrorValue()) {}
    ~LastErrorKept() { SetLastErrorValue(kept_); }

  private:
    uint32_t kept_;
};

// Notes `cause`, marks the trace, prints `lead` (when there is one) and the line(s) that
// `format` makes of the arguments, then the hint.
void Report(const NotedFailure& cause, std::FILE* stream, const char* hint, const char* lead,
            const char* format, va_list arguments) {
    if (!failureKept) {
        lastFailure = cause;
    }
    TraceLineEvent("failure", "%s, value %u", cause.text, cause.error);
    if (lead != nullptr) {
        std::fputs(lead, stream);
    }
    std::vfprintf(stream, format, arguments);
    PrintHint(hint);
}

// The log names a failure in English whatever the session's language (row 0).
NotedFailure CauseOf(Message message, uint32_t error) {
    return {static_cast<int>(message), MessageCatalog[static_cast<std::size_t>(message)], error};
}

// Reports `cause` with the line(s) that `format` makes of the arguments.
__attribute__((format(printf, 4, 5))) void ReportLines(const NotedFailure& cause, std::FILE* stream,
                                                       const char* hint, const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Report(cause, stream, hint, nullptr, format, arguments);
    va_end(arguments);
}

}  // namespace

NotedFailure LastFailure() {
    return lastFailure;
}

void ClearFailure() {
    lastFailure = {};
    failureKept = false;
}

void KeepNotedFailure() {
    failureKept = true;
}

void ReportFailure(const char* format, Message message, uint32_t error) {
    const LastErrorKept kept;
    ReportLines(CauseOf(message, error), ErrorOutput(), FailureHint(error), format,
                messageText(message), static_cast<int>(error));
}

int ReportFailureAndClose(SerialLink link, Message message) {
    ReportFailure("%s %i\n", message, GetLastErrorValue());
    CloseSerialLink(link);
    return 1;
}

void ReportFailure(const char* englishText, uint32_t error) {
    const LastErrorKept kept;
    ReportLines({-1, englishText, error}, ErrorOutput(), FailureHint(error), "%s\n", englishText);
}

void ReportFailureOf(std::FILE* stream, Message message, uint32_t error, const char* hint,
                     const char* format, ...) {
    const LastErrorKept kept;
    va_list arguments;
    va_start(arguments, format);
    Report(CauseOf(message, error), stream, hint, messageText(message), format, arguments);
    va_end(arguments);
}

void ReportFailureText(std::FILE* stream, const char* englishText, uint32_t error, const char* hint,
                       const char* format, ...) {
    va_list arguments;
    const LastErrorKept kept;
    va_start(arguments, format);
    Report({-1, englishText, error}, stream, hint, nullptr, format, arguments);
    va_end(arguments);
}

void ReportPortReopenFailure(int portNumber, uint32_t error) {
    const LastErrorKept kept;
    ReportFailureOf(ErrorOutput(), Message::PortInitFailed, error,
                    PortReopenHint(portNumber, error), " %i)\n", static_cast<int>(error));
}

void ReportPortOpenFailure(int portNumber, uint32_t error) {
    const LastErrorKept kept;
    ReportFailureOf(ErrorOutput(), Message::PortInitFailed, error, PortOpenHint(portNumber, error),
                    " %i)\n", static_cast<int>(error));
}
