// boxsim: plays a box's bootloader on a pseudo-terminal, so that the program can be run and
// tested without hardware. See BoxUsageText (box_option_table.cpp) for the command line and the
// exit status.
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
#include "box_trace.h"
#include "platform/shutdown.h"

namespace {

enum ExitStatus {
    ExitPlayed = 0,
    ExitViolation = 1,
    ExitUsage = 2,
    ExitNeverCame = 3,
    ExitEnded = 4
};

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

int PlayBoxes(int argc, char** argv) {
    CommandLine command;
    if (!ParseCommandLine(argc, argv, command)) {
        return ExitUsage;
    }
    if (command.help) {
        // In one write: a reader that takes the first line and closes the pipe must not
        // catch boxsim in the middle of the text.
        static char buffer[1 << 15];
        const std::string text = BoxUsageText();
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return ExitPlayed;
    }
    const BoxOptions& options = command.options;
    const long boxes = command.boxes;
    BoxStopOnSignals();
    BoxLine line;
    if (!line.Open(options) || !StartBoxTrace(options, line.SlavePath())) {
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

}  // namespace

int main(int argc, char** argv) {
    const int status = PlayBoxes(argc, argv);
    // The trace (--trace) ends after the line is closed, with the program's last lines.
    RunShutdown(status == ExitPlayed ? ShutdownKind::Normal : ShutdownKind::Failure, status);
    return status;
}
