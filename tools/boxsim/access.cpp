// The box's side of the access handshake.
//
// The box skips whatever arrives until one of the known keywords has come (" korvane",
// "qkorvane", " lumatek", "qlumatek" for the bootloaders, "pelmorant", "stravinol" for the
// legacy loaders). By default it takes any keyword of its own kind; --keyword TEXT makes it
// take only TEXT, and any other known keyword is then a violation, as is a keyword of the other
// kind. With --slow-keyword the keyword must come at 9600 baud, and the box then waits until
// the program's line is back at the box's own speed.
//
// A synchronising box answers "granted" (when its kind does), echoes every digit it receives
// until 0xAF 0xFE arrive, and then sends its version line; other boxes send the version line
// right after the keyword.
//
// Contract with the players that follow: when PlayAccess returns true, the keyword has been
// read and (except for a legacy loader) the version line has been sent. For a legacy loader
// PlayAccess reads the keyword and answers nothing: the loader's own answer (0x01 after
// "pelmorant") and everything after it belongs to PlayLegacy.
//
// Options: --keyword TEXT, --slow-keyword, --sync, --no-granted, --no-sync, --echo-miss N
// (the Nth digit is not echoed), --echo-blank (a blank follows each echo), --version-hex
// (": %x.%x" form), --version-line TEXT (sent exactly, with \r \n \xHH escapes instead of the
// version line), --silent (the box never answers; it logs each keyword it sees until the line
// is quiet for --timeout ms), --timeout MS (limit for the program's first byte), --step-timeout
// MS (every later wait).
#include <array>
#include <cstdio>
#include <string>
#include <string_view>

#include "box_line.h"
#include "box_players.h"

namespace {

constexpr std::array<std::string_view, 4> AccessKeywords = {" korvane", "qkorvane", " lumatek",
                                                            "qlumatek"};
constexpr std::array<std::string_view, 2> LegacyKeywords = {"pelmorant", "stravinol"};

bool EndsWith(const std::string& text, std::string_view tail) {
    return text.size() >= tail.size() &&
           std::string_view(text).substr(text.size() - tail.size()) == tail;
}

bool IsLegacyKeyword(std::string_view keyword) {
    return keyword == LegacyKeywords[0] || keyword == LegacyKeywords[1];
}

// The known keyword that `window` ends with, or empty.
std::string_view KnownKeywordAtEnd(const std::string& window) {
    for (std::string_view keyword : AccessKeywords) {
        if (EndsWith(window, keyword)) {
            return keyword;
        }
    }
    for (std::string_view keyword : LegacyKeywords) {
        if (EndsWith(window, keyword)) {
            return keyword;
        }
    }
    return {};
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Turns the escapes \r, \n, \t, \\ and \xHH of a command-line text into bytes.
std::string Unescape(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const char c = text[++i];
        if (c == 'r') {
            out += '\r';
        } else if (c == 'n') {
            out += '\n';
        } else if (c == 't') {
            out += '\t';
        } else if (c == 'x' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
                   HexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string VersionLine(const BoxOptions& options) {
    if (options.Has("version-line")) {
        return Unescape(options.Get("version-line"));
    }
    if (options.Has("version-hex")) {
        char line[64];
        std::snprintf(line, sizeof line, "\r\nBootloader Version: %x.%x\r\n", options.Major(),
                      options.Minor());
        return line;
    }
    return "\r\nBootloader Version " + options.version + "\r\n";
}

// Reads until a known keyword has arrived. The first byte may take --timeout (no limit by
// default), later bytes the step limit. Returns the keyword, or empty on failure.
std::string AwaitKeyword(BoxLine& line, const BoxOptions& options) {
    const bool legacy = options.Legacy();
    std::string wanted = options.Get("keyword");  // not const: returned by moving
    const int firstLimit = static_cast<int>(options.GetInt("timeout", -1));
    std::string window;
    size_t skipped = 0;
    bool first = true;
    for (;;) {
        const int byte = line.ReadByte(first ? firstLimit : options.StepTimeoutMs());
        if (byte == -1) {
            if (first) {
                line.Log("the program never came (no byte within %d ms)", firstLimit);
            } else {
                line.Violation("no keyword: the program fell silent after %zu bytes", skipped);
            }
            return {};
        }
        if (byte < 0) {
            return {};
        }
        first = false;
        window += static_cast<char>(byte);
        if (window.size() > 9) {
            window.erase(0, window.size() - 9);
        }
        if (!wanted.empty() && EndsWith(window, wanted)) {
            return wanted;
        }
        const std::string_view keyword = KnownKeywordAtEnd(window);
        if (!keyword.empty()) {
            if (wanted.empty() && IsLegacyKeyword(keyword) == legacy) {
                return std::string(keyword);
            }
            line.Violation("keyword \"%s\", but the box wants %s", std::string(keyword).c_str(),
                           !wanted.empty() ? ("\"" + wanted + "\"").c_str()
                           : legacy        ? "a legacy loader keyword"
                                           : "an access keyword");
            return {};
        }
        ++skipped;
    }
}

// The box that never answers: it logs what it sees until the line ends or falls silent for
// --timeout ms. True when the program came at all.
bool PlaySilentBox(BoxLine& line, const BoxOptions& options) {
    const int limit = static_cast<int>(options.GetInt("timeout", -1));
    std::string window;
    int keywords = 0;
    for (;;) {
        const int byte = line.ReadByte(limit);
        if (byte < 0) {
            break;
        }
        window += static_cast<char>(byte);
        if (window.size() > 9) {
            window.erase(0, window.size() - 9);
        }
        const std::string_view keyword = KnownKeywordAtEnd(window);
        if (!keyword.empty()) {
            line.Log("keyword \"%s\" received, not answered (%d)", std::string(keyword).c_str(),
                     ++keywords);
        }
    }
    line.Log("silent box: %llu bytes received, %d keywords",
             static_cast<unsigned long long>(line.BytesReceived()), keywords);
    return line.BytesReceived() > 0;
}

// After a keyword at 9600 baud: back to the box's own speed, and wait (without answering)
// until the program's line is there too, within the step limit.
void ReturnFromSlowKeyword(BoxLine& line, const BoxOptions& options, uint32_t ownBaud) {
    line.SetBoxBaud(ownBaud);
    const int limit = options.StepTimeoutMs();
    int waited = 0;
    while (line.ProgramBaud() != ownBaud && waited < limit && !line.Ended()) {
        // Nothing is expected from the program while it changes speed; a byte that does come
        // is logged and dropped.
        const int byte = line.ReadByte(10);
        if (byte >= 0) {
            line.Log("byte 0x%02X while the program changes speed, dropped", byte);
        }
        waited += 10;
    }
    line.Log("program back at %u baud after %d ms", line.ProgramBaud(), waited);
}

void SendVersion(BoxLine& line, const BoxOptions& options) {
    const std::string text = VersionLine(options);
    line.Send(text);
    line.Log("version sent: \"%s\"", PrintableBytes(text).c_str());
}

// The digit synchronisation: echo digits until 0xAF 0xFE. True when the closing bytes came.
bool EchoDigits(BoxLine& line, const BoxOptions& options) {
    const long missAt = options.GetInt("echo-miss", 0);
    const bool blank = options.Has("echo-blank");
    long digits = 0;
    long echoed = 0;
    for (;;) {
        const int byte = line.ReadByte(options.StepTimeoutMs());
        if (byte == -1) {
            line.Violation("synchronisation: nothing for %d ms after %ld digits, no 0xAF 0xFE",
                           options.StepTimeoutMs(), digits);
            return false;
        }
        if (byte < 0) {
            return false;
        }
        if (byte >= '0' && byte <= '9') {
            ++digits;
            if (digits == missAt) {
                line.Log("digit '%c' received, echo left out", byte);
                continue;
            }
            line.SendByte(static_cast<uint8_t>(byte));
            if (blank) {
                line.SendByte(' ');
            }
            ++echoed;
            continue;
        }
        if (byte == 0xAF) {
            const int next = line.ReadByte(options.StepTimeoutMs());
            if (next == 0xFE) {
                line.Log("synchronisation: %ld digits, %ld echoed, 0xAF 0xFE received", digits,
                         echoed);
                return true;
            }
            if (next == -2) {
                return false;
            }
            line.Violation(
                "synchronisation: 0xAF followed by %s",
                next < 0 ? "nothing" : PrintableBytes(std::string(1, char(next))).c_str());
            return false;
        }
        line.Log("synchronisation: byte 0x%02X ignored", byte);
    }
}

}  // namespace

bool PlayAccess(BoxLine& line, const BoxOptions& options) {
    if (options.Has("silent")) {
        return PlaySilentBox(line, options);
    }
    const uint32_t ownBaud = line.BoxBaud();
    const bool slow = options.Has("slow-keyword");
    if (slow) {
        line.SetBoxBaud(9600);
    }
    const std::string keyword = AwaitKeyword(line, options);
    if (keyword.empty()) {
        line.SetBoxBaud(ownBaud);
        return false;
    }
    line.Log("keyword \"%s\" received (program at %u baud, RTS/CTS %s)", keyword.c_str(),
             line.ProgramBaud(), line.ProgramRtsCts() ? "on" : "off");
    if (slow) {
        ReturnFromSlowKeyword(line, options, ownBaud);
    }
    if (options.Legacy()) {
        return !line.Ended();
    }
    if (options.Synchronises()) {
        if (options.AnswersGranted()) {
            line.Send("granted");
            line.Log("granted sent");
        }
        if (!EchoDigits(line, options)) {
            return false;
        }
    }
    SendVersion(line, options);
    return !line.Ended();
}
