// The production log: the record of each box, composed from what the session learns on the
// way, written as one line of JSON in one append write.
#include "frontend/production_log.h"

#include <array>
#include <cstdio>
#include <cstdlib>

#include "common/messages.h"
#include "frontend/startup.h"
#include "frontend/written_files.h"
#include "platform/append_file.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "platform/platform.h"
#include "platform/sha256.h"
#include "platform/shutdown.h"
#include "protocols/failure_report.h"
#include "serial/line_trace.h"
#include "serial/port.h"
#include "serial/port_counters.h"

namespace {

// The line about a log that cannot be opened or written, in the session's language.
constexpr std::array<const char*, 2> OpenFailedText{
    "UPDATE_LOG=%s: %s; the update goes on without a production log.\n",
    "UPDATE_LOG=%s: %s; die Aktualisierung laeuft ohne Protokolldatei weiter.\n"};
constexpr std::array<const char*, 2> WriteFailedText{
    "UPDATE_LOG=%s: %s; the record of this box is lost.\n",
    "UPDATE_LOG=%s: %s; der Eintrag dieser Box fehlt.\n"};

struct LogState {
    AppendFile file;
    const char* name = nullptr;
    const SessionSettings* settings = nullptr;
    std::array<char, 16> version{};
    // The image, checked once per run.
    std::optional<unsigned long long> imageSize;
    std::optional<std::string> imageSha256;
    bool imageHashed = false;  // tried once per run, whether it worked or not
    std::optional<uint8_t> hardwareType;
    std::optional<uint32_t> softwareId;
    // The current box.
    bool pending = false;
    std::string start;
    uint32_t startMs = 0;
    std::optional<LoaderVersion> loaderVersion;
    const char* family = nullptr;
};

// The system's words for `error` without the full stop that Windows' texts end with.
std::string Reason(uint32_t error) {
    std::string words = SystemErrorText(error);
    while (!words.empty() && (words.back() == '.' || words.back() == ' ')) {
        words.pop_back();
    }
    return words;
}

LogState& State() {
    static LogState state;
    return state;
}

void AppendRaw(std::string& out, const char* text) {
    out += text;
}

void AppendNumber(std::string& out, const char* format, auto value) {
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), format, value);
    out += text.data();
}

void Key(std::string& out, const char* key) {
    out += out.size() > 1 ? ",\"" : "\"";
    out += key;
    out += "\":";
}

void StringField(std::string& out, const char* key, const char* value) {
    Key(out, key);
    if (value == nullptr) {
        AppendRaw(out, "null");
    } else {
        AppendJsonString(out, value);
    }
}

template <typename T>
void NumberField(std::string& out, const char* key, const std::optional<T>& value,
                 const char* format) {
    Key(out, key);
    if (value) {
        AppendNumber(out, format, *value);
    } else {
        AppendRaw(out, "null");
    }
}

// The length of the valid UTF-8 sequence at `p` (1 to 4), or 0 when none starts there:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8SequenceLength(const unsigned char* p) {
    const unsigned char lead = p[0];
    auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    if (lead >= 0xC2 && lead <= 0xDF) {
        return continuation(p[1]) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return p[1] >= low && p[1] <= high && continuation(p[2]) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return p[1] >= low && p[1] <= high && continuation(p[2]) && continuation(p[3]) ? 4 : 0;
    }
    return 0;
}

// The image file's size and digest, once per run (the image is read once per run as well).
void HashImage() {
    LogState& state = State();
    const SessionSettings& settings = *state.settings;
    if (state.imageHashed || settings.satelliteUpdate == 1 || settings.imageName == nullptr) {
        return;
    }
    state.imageHashed = true;
    Sha256Digest digest{};
    uint64_t size = 0;
    const uint32_t kept = GetLastErrorValue();
    if (Sha256OfFile(settings.imageName, digest, size) == 1) {
        state.imageSize = size;
        state.imageSha256 = Sha256ToHex(digest).data();
    }
    SetLastErrorValue(kept);
}

void WriteRecord(LogRecord& record) {
    LogState& state = State();
    state.pending = false;
    record.start = state.start;
    record.durationSeconds = static_cast<double>(ElapsedMs(state.startMs)) / 1000.0;
    record.programVersion = state.version.data();
    const SessionSettings& settings = *state.settings;
    record.port = settings.portNumber;
    record.device = PortDeviceName(settings.portNumber);
    record.image = settings.satelliteUpdate == 1 ? nullptr : settings.imageName;
    // An image that failed its check is named by its digest all the same, when it can be read.
    HashImage();
    record.imageSize = state.imageSize;
    record.imageSha256 = state.imageSha256;
    record.hardwareType = state.hardwareType;
    record.softwareId = state.softwareId;
    record.loaderVersion = state.loaderVersion;
    record.family = state.family;
    record.patchMode = settings.patchImage == 1;
    record.bytesSent = BytesSent();
    const std::string line = FormatLogRecord(record);
    if (state.file.Append(line.data(), static_cast<uint32_t>(line.size())) == 0) {
        std::fprintf(ErrorOutput(), WriteFailedText[language == 1 ? 1 : 0], state.name,
                     Reason(GetLastErrorValue()).c_str());
    }
}

// The program ends with the current box's record still open: it says how, with the exit code
// the program ends with.
void WriteLastRecord(ShutdownKind kind, int exitCode) {
    if (kind != ShutdownKind::Interrupt) {
        WriteBoxRecord(exitCode);
        return;
    }
    if (!State().pending) {
        return;
    }
    LogRecord record;
    record.result = "interrupted";
    record.exitCode = exitCode;
    WriteRecord(record);
}

void BeginBox() {
    LogState& state = State();
    state.pending = state.file.IsOpen();
    state.start = FormatIsoLocalTime(LocalTimeNow()).data();
    state.startMs = ClockMs();
    state.loaderVersion.reset();
    state.family = nullptr;
    ResetBytesSent();
    ClearFailure();
}

}  // namespace

void AppendJsonString(std::string& out, const char* text) {
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        const unsigned char c = *p;
        // A byte that is not part of valid UTF-8 (a file name in another encoding) goes out as
        // the code point of the same value, so that the line stays valid JSON and nothing is
        // dropped; so do the control characters without a short escape.
        const std::size_t sequence = c >= 0x80 ? Utf8SequenceLength(p) : 1;
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F || sequence == 0) {
            AppendNumber(out, "\\u%04x", static_cast<unsigned>(c));
        } else {
            out.append(reinterpret_cast<const char*>(p), sequence);
        }
        p += sequence == 0 ? 1 : sequence;
    }
    out += '"';
}

std::string FormatLogRecord(const LogRecord& record) {
    std::string out = "{";
    StringField(out, "start", record.start.c_str());
    Key(out, "duration_s");
    AppendNumber(out, "%.3f", record.durationSeconds);
    StringField(out, "program_version", record.programVersion);
    Key(out, "port");
    AppendNumber(out, "%d", record.port);
    StringField(out, "device", record.device);
    StringField(out, "image", record.image);
    NumberField(out, "image_size", record.imageSize, "%llu");
    StringField(out, "image_sha256", record.imageSha256 ? record.imageSha256->c_str() : nullptr);
    std::array<char, 32> text{};
    if (record.hardwareType) {
        std::snprintf(text.data(), text.size(), "0x%02x",
                      static_cast<unsigned>(*record.hardwareType));
    }
    StringField(out, "hardware_type", record.hardwareType ? text.data() : nullptr);
    if (record.softwareId) {
        std::snprintf(text.data(), text.size(), "%u.%u", *record.softwareId >> 16,
                      *record.softwareId & 0xFFFFu);
    }
    StringField(out, "software_id", record.softwareId ? text.data() : nullptr);
    if (record.loaderVersion) {
        std::snprintf(text.data(), text.size(), "%d.%d", record.loaderVersion->major,
                      record.loaderVersion->minor);
    }
    StringField(out, "loader_version", record.loaderVersion ? text.data() : nullptr);
    StringField(out, "family", record.family);
    Key(out, "patch_mode");
    AppendRaw(out, record.patchMode ? "true" : "false");
    StringField(out, "result", record.result);
    NumberField(out, "message", record.message, "%d");
    StringField(out, "message_text", record.messageText);
    NumberField(out, "error", record.error, "%u");
    Key(out, "exit_code");
    AppendNumber(out, "%d", record.exitCode);
    Key(out, "bytes_sent");
    AppendNumber(out, "%llu", static_cast<unsigned long long>(record.bytesSent));
    out += "}\n";
    return out;
}

void StartProductionLog(const SessionSettings& settings) {
    LogState& state = State();
    state.settings = &settings;
    const RevisionPair revision = ParseRevision(RevisionText);
    std::snprintf(state.version.data(), state.version.size(), "%d.%d", revision.major,
                  revision.minor);
    const char* name = std::getenv("UPDATE_LOG");
    if (name == nullptr || *name == '\0') {
        return;
    }
    // The trace, when one is being written, has taken its name by now.
    const char* image = settings.satelliteUpdate == 1 ? nullptr : settings.imageName;
    if (!LogNameAllowed(name, image, lineTraceActive ? std::getenv("UPDATE_TRACE") : nullptr)) {
        return;
    }
    state.name = name;
    if (state.file.Open(name) == 0) {
        std::fprintf(ErrorOutput(), OpenFailedText[language == 1 ? 1 : 0], name,
                     Reason(GetLastErrorValue()).c_str());
        std::fflush(stderr);
        return;
    }
    InstallShutdownAction(ShutdownStage::LogRecordWritten, WriteLastRecord);
    BeginBox();
}

void LogImageChecked() {
    LogState& state = State();
    if (!state.file.IsOpen()) {
        return;
    }
    state.hardwareType = state.settings->hardwareType;
    state.softwareId = state.settings->softwareId;
    HashImage();
}

void LogNextBox() {
    if (State().file.IsOpen()) {
        BeginBox();
    }
}

void LogLoaderVersion(LoaderVersion version) {
    State().loaderVersion = version;
}

void LogFamily(const char* family) {
    State().family = family;
}

void WriteBoxRecord(int exitCode) {
    if (!State().pending) {
        return;
    }
    LogRecord record;
    record.exitCode = exitCode;
    if (exitCode != 0) {
        record.result = "failed";
        const NotedFailure failure = LastFailure();
        if (failure.text != nullptr) {
            if (failure.message >= 0) {
                record.message = failure.message;
            }
            record.messageText = failure.text;
            record.error = failure.error;
        } else {
            record.error = GetLastErrorValue();
        }
    }
    WriteRecord(record);
}
