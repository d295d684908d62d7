// boxsim: plays a box's bootloader on a pseudo-terminal, so that the program can be run and
// tested without hardware. See UsageText for the command line and the exit status.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "box_faults.h"
#include "box_line.h"
#include "box_options.h"
#include "box_players.h"

namespace {

constexpr const char* UsageText =
    "usage: boxsim [options]\n"
    "\n"
    "Plays the bootloader of a box on a pseudo-terminal. The first line on standard output is\n"
    "the path of the terminal device for the program, for example\n"
    "  /dev/pts/7\n"
    "(only the path, then a line end; nothing else is written to standard output). Set COM1\n"
    "(to COM4) to that path, or to the --link symlink, and start the program.\n"
    "\n"
    "  --version X.Y     bootloader version the box reports (default 24.4)\n"
    "  --hw N            hardware type, decimal or 0x hex (default 0x14)\n"
    "  --baud N          the box's own speed (default 38400 for hardware types 0 and 1,\n"
    "                    115200 otherwise)\n"
    "  --link PATH       make a symlink PATH to the terminal (a stale one is replaced; it is\n"
    "                    removed at exit)\n"
    "  --pace            send at the line rate (10 bits per byte)\n"
    "  --save FILE       save what the box received as an image\n"
    "  --boxes N         play N boxes one after the other (loop mode; default 1)\n"
    "  --reply-latency-all\n"
    "                    measure the reply latency (the time from the box's send to the\n"
    "                    program's next byte) after everything the box sends, not only\n"
    "                    after the acknowledgements the players mark\n"
    "  --help            this text\n"
    "\n"
    "Access options:\n"
    "  --keyword TEXT    take only this keyword (any other known keyword is a violation)\n"
    "  --slow-keyword    the keyword must come at 9600 baud\n"
    "  --sync, --no-granted, --no-sync\n"
    "                    force the digit synchronisation with or without \"granted\", or none\n"
    "  --echo-miss N     leave out the echo of the Nth digit\n"
    "  --echo-blank      send a blank after each echoed digit\n"
    "  --version-hex     version line in the form \"Bootloader Version: %x.%x\"\n"
    "  --version-line T  send T (escapes \\r \\n \\xHH) instead of the version line\n"
    "  --silent          never answer\n"
    "  --legacy, --legacy-id ID\n"
    "                    a legacy loader (also any version from 10.0 to 12.3)\n"
    "  --satellite       answer the satellite update request after the access\n"
    "  --timeout MS      limit for the program's first byte of each box (default: none);\n"
    "                    also the quiet time after which a silent box, or a box whose\n"
    "                    version has no player, stops listening\n"
    "  --step-timeout MS limit for every later wait (default 30000)\n"
    "Every other --name value (or --name=value, or a bare --name meaning 1) is passed to the\n"
    "players of the download protocols.\n"
    "\n"
    "Log lines on standard error begin with \"boxsim: \"; protocol violations with\n"
    "\"boxsim: violation: \".\n"
    "\n"
    "Exit status: 0 every box played without violation; 1 a protocol violation; 2 usage\n"
    "error or the terminal could not be opened; 3 the program never came (nothing received);\n"
    "4 the line ended (hang-up, time-out or signal) before all boxes were played.\n";

enum ExitStatus {
    ExitPlayed = 0,
    ExitViolation = 1,
    ExitUsage = 2,
    ExitNeverCame = 3,
    ExitEnded = 4
};

bool ParseNumber(const std::string& text, long& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    value = std::strtol(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    return !text.empty() && end != nullptr && *end == '\0' && (hex ? text.size() > 2 : true);
}

bool ParseVersion(const std::string& text) {
    int major = 0;
    int minor = 0;
    char rest = 0;
    return std::sscanf(text.c_str(), "%d.%d%c", &major, &minor, &rest) == 2 && major >= 0 &&
           minor >= 0;
}

// Fills `options` from the command line; false (after a message) on a usage error.
bool ParseCommandLine(int argc, char** argv, BoxOptions& options, long& boxes, bool& help) {
    bool baudGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            std::fprintf(stderr, "boxsim: unexpected argument \"%s\" (see --help)\n", argv[i]);
            return false;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool hasValue = false;
        if (auto equals = name.find('='); equals != std::string::npos) {
            value = name.substr(equals + 1);
            name.erase(equals);
            hasValue = true;
        }
        if (name == "help") {
            help = true;
            continue;
        }
        if (name == "pace") {
            options.pace = true;
            continue;
        }
        if (!hasValue && i + 1 < argc && std::string_view(argv[i + 1]).rfind("--", 0) != 0) {
            value = argv[++i];
            hasValue = true;
        }
        long number = 0;
        if (name == "version") {
            if (!hasValue || !ParseVersion(value)) {
                std::fprintf(stderr, "boxsim: --version needs MAJOR.MINOR\n");
                return false;
            }
            options.version = value;
        } else if (name == "hw") {
            if (!hasValue || !ParseNumber(value, number) || number < 0 || number > 0xFF) {
                std::fprintf(stderr, "boxsim: --hw needs a hardware type from 0 to 0xFF\n");
                return false;
            }
            options.hardwareType = static_cast<uint32_t>(number);
        } else if (name == "baud") {
            if (!hasValue || !ParseNumber(value, number) || number <= 0) {
                std::fprintf(stderr, "boxsim: --baud needs a speed\n");
                return false;
            }
            options.baudRate = static_cast<uint32_t>(number);
            baudGiven = true;
        } else if (name == "boxes") {
            if (!hasValue || !ParseNumber(value, number) || number < 1) {
                std::fprintf(stderr, "boxsim: --boxes needs a number of at least 1\n");
                return false;
            }
            boxes = number;
        } else if (name == "link" || name == "save") {
            if (!hasValue || value.empty()) {
                std::fprintf(stderr, "boxsim: --%s needs a path\n", name.c_str());
                return false;
            }
            (name == "link" ? options.linkPath : options.savePath) = value;
        } else {
            options.extra[name] = hasValue ? value : "1";
        }
    }
    if (!baudGiven) {
        options.baudRate = options.hardwareType < 2 ? 38400 : 115200;
    }
    return true;
}

bool InRange(int major, int minor, int fromMajor, int fromMinor, int toMajor, int toMinor) {
    const long id = major * 65536L + minor;
    return id >= fromMajor * 65536L + fromMinor && id <= toMajor * 65536L + toMinor;
}

using Player = int (*)(BoxLine&, const BoxOptions&);

// The player of the box's bootloader family, or nullptr when the box only plays the access.
Player ChoosePlayer(const BoxOptions& options, const char*& name) {
    const int major = options.Major();
    const int minor = options.Minor();
    const uint32_t hw = options.hardwareType;
    struct Choice {
        Player player;
        const char* name;
    };
    auto choose = [&]() -> Choice {
        if (options.Has("satellite")) {
            return {PlaySatellite, "satellite request"};
        }
        if (options.Legacy()) {
            return {PlayLegacy, "legacy loader"};
        }
        if (InRange(major, minor, 1, 4, 1, 9)) {
            return {PlayHyperLoader, "hyper loader"};
        }
        if (InRange(major, minor, 4, 11, 4, 13)) {
            return {PlayLoader411, "4.11 loader"};
        }
        if (InRange(major, minor, 2, 0, 4, 67) || InRange(major, minor, 20, 5, 20, 8) ||
            (major == 21 && minor == 0 && hw == 0x12)) {
            return {PlayMenuLoader, "menu loader"};
        }
        if (major == 5 && (minor == 1 || minor == 3)) {
            return {PlayXmodemVerdict, "X-modem loader with verdict"};
        }
        if (InRange(major, minor, 12, 4, 12, 6) || InRange(major, minor, 21, 0, 21, 2) ||
            major == 22 || major == 23 || major == 24 || (major == 0 && minor == 0) ||
            (major == 65535 && minor == 65535)) {
            return {PlayStreaming, "streaming loader"};
        }
        return {nullptr, "access only"};
    };
    const Choice choice = choose();
    name = choice.name;
    return choice.player;
}

// A box without a family player keeps the line open after the access and logs what comes,
// until the line ends or falls silent for --timeout ms.
void IdleAfterAccess(BoxLine& line, const BoxOptions& options) {
    const std::vector<uint8_t> got =
        line.DrainQuiet(static_cast<int>(options.GetInt("timeout", -1)));
    line.Log("after the access: %zu bytes received \"%s\"", got.size(),
             PrintableBytes(std::string_view(reinterpret_cast<const char*>(got.data()), got.size()))
                 .c_str());
}

}  // namespace

int main(int argc, char** argv) {
    BoxOptions options;
    long boxes = 1;
    bool help = false;
    if (!ParseCommandLine(argc, argv, options, boxes, help)) {
        return ExitUsage;
    }
    if (help) {
        std::fputs(UsageText, stdout);
        std::fputs("\n", stdout);
        std::fputs(FaultUsageText, stdout);
        return ExitPlayed;
    }
    BoxStopOnSignals();
    BoxLine line;
    if (!line.Open(options)) {
        return ExitUsage;
    }
    std::printf("%s\n", line.SlavePath().c_str());
    std::fflush(stdout);

    const char* family = nullptr;
    const Player player = ChoosePlayer(options, family);
    line.Log("box %s on hardware type 0x%02X at %u baud (%s%s) on %s", options.version.c_str(),
             options.hardwareType, options.baudRate, family,
             options.Has("silent") ? ", silent" : "", line.SlavePath().c_str());

    long played = 0;
    for (long box = 1; box <= boxes; ++box) {
        if (boxes > 1) {
            line.Log("box %ld of %ld", box, boxes);
        }
        if (!PlayAccess(line, options)) {
            break;
        }
        if (options.Has("silent")) {
            ++played;
            break;  // a silent box listens until the line ends
        }
        if (player == nullptr) {
            IdleAfterAccess(line, options);
        } else if (player(line, options) != 0) {
            if (!line.Violated()) {
                line.Violation("the %s player reported a failure", family);
            }
            break;
        }
        ++played;
    }
    std::vector<double> latencies = line.ReplyLatenciesMs();
    if (!latencies.empty()) {
        // Nearest-rank median and 99th percentile.
        std::sort(latencies.begin(), latencies.end());
        auto rank = [&](double share) {
            const auto at =
                static_cast<size_t>(std::ceil(share * static_cast<double>(latencies.size())));
            return latencies[std::max<size_t>(at, 1) - 1];
        };
        line.Log("reply latencies: %zu measured, median %.3f ms, p99 %.3f ms, longest %.1f ms",
                 latencies.size(), rank(0.5), rank(0.99), latencies.back());
    }
    int status = ExitPlayed;
    if (line.Violated()) {
        status = ExitViolation;
    } else if (line.BytesReceived() == 0) {
        status = ExitNeverCame;
    } else if (played < boxes && !options.Has("silent")) {
        status = ExitEnded;
    }
    line.AwaitDelivery(3000);
    line.Log("%ld of %ld boxes played; exit status %d", played, boxes, status);
    return status;
}
