// boxsim's command line: the table of every option it takes, the parser that checks names and
// values against the table, and the --help text made from it.
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "box_options.h"
#include "tools/hardware_type.h"

namespace {

using G = OptionGroup;

// Every option boxsim reads, in the order of --help. A player reads its options through
// BoxOptions::Get, GetInt and Has; an option that is not here cannot reach it.
constexpr std::array OptionTable{
    // The box and the run.
    OptionInfo{"version", "X.Y", G::Box, "bootloader version the box reports (default 24.4)"},
    OptionInfo{"hw", "N", G::Box, "hardware type in hexadecimal, 14 or 0x14 (default 14)"},
    OptionInfo{"baud", "N", G::Box,
               "the box's own speed (default 38400 for hardware types 0 and 1, else 115200)"},
    OptionInfo{"link", "PATH", G::Box,
               "make a symlink PATH to the terminal (a stale one is replaced; removed at exit)"},
    OptionInfo{"pace", "", G::Box, "send at the line rate (10 bits per byte)"},
    OptionInfo{"save", "FILE", G::Box, "save what the box received (every player)"},
    OptionInfo{"trace", "FILE", G::Box,
               "write the line trace of the box's side into FILE (the format of UPDATE_TRACE)"},
    OptionInfo{"boxes", "N", G::Box, "play N boxes one after the other (loop mode; default 1)"},
    OptionInfo{"timeout", "MS", G::Box,
               "limit for the program's first byte (none); a silent box stops after MS quiet"},
    OptionInfo{"step-timeout", "MS", G::Box, "limit for every later wait (default 30000)"},
    OptionInfo{"reply-latency-all", "", G::Box,
               "measure the reply latency after every send, not only after acknowledgements"},
    OptionInfo{"help", "", G::Box, "this text"},
    // The access handshake.
    OptionInfo{"keyword", "TEXT", G::Access,
               "take only this keyword (any other known keyword is a violation)"},
    OptionInfo{"slow-keyword", "", G::Access, "the keyword must come at 9600 baud"},
    OptionInfo{"sync", "", G::Access, "run the digit synchronisation and answer \"granted\""},
    OptionInfo{"no-granted", "", G::Access, "run the digit synchronisation without \"granted\""},
    OptionInfo{"no-sync", "", G::Access, "no digit synchronisation"},
    OptionInfo{"echo-miss", "N", G::Access, "leave out the echo of the Nth digit"},
    OptionInfo{"echo-blank", "", G::Access, "send a blank after each echoed digit"},
    OptionInfo{"version-hex", "", G::Access,
               "version line in the form \"Bootloader Version: %x.%x\""},
    OptionInfo{"version-line", "T", G::Access,
               "send T (escapes \\r \\n \\xHH) instead of the version line"},
    OptionInfo{"silent", "", G::Access, "never answer (listens until quiet for --timeout MS)"},
    OptionInfo{"legacy", "", G::Access, "a legacy loader (also any version from 10.0 to 12.3)"},
    OptionInfo{"legacy-id", "ID", G::Access,
               "a legacy loader that reports software id ID (default: the --version)"},
    OptionInfo{"satellite", "", G::Access, "answer the satellite update request after the access"},
    // Streaming loaders.
    OptionInfo{"error-text", "TEXT", G::Streaming,
               "send TEXT and CR LF instead of \"Now start download\" or \"finished!\""},
    OptionInfo{"error-at", "start|end", G::Streaming, "where --error-text goes (default start)"},
    OptionInfo{"nak-storm", "N", G::Streaming, "NAK every block N times before the ACK"},
    OptionInfo{"expect-id", "ID", G::Streaming,
               "the image must carry this software id in its tag and segment headers (-x)"},
    OptionInfo{"flash-ms", "MS", G::Streaming,
               "time the flash takes to program (default 100; menu loaders 300)"},
    // Menu loaders.
    OptionInfo{"expect", "FILE", G::MenuLoader,
               "the image the box must end up with, byte for byte (legacy: its payload)"},
    OptionInfo{"fail-with", "WHAT", G::MenuLoader,
               "report a failure mid-transfer: ?, F, U, colons, flash-id, error, stop or text"},
    OptionInfo{"fail-at", "BYTES", G::MenuLoader,
               "received bytes after which the report goes out (default 10240)"},
    OptionInfo{"size-limit", "N", G::MenuLoader,
               "largest payload the flash takes (default: the loader's)"},
    OptionInfo{"container-type", "N", G::MenuLoader,
               "container type the box takes (default: the loader's)"},
    OptionInfo{"software-id", "ID", G::MenuLoader,
               "software id a container must carry (default: the box's version)"},
    OptionInfo{"quiet-ms", "MS", G::MenuLoader,
               "after a report, the silence that ends the play (default 2000)"},
    // 4.11 to 4.13 loaders.
    OptionInfo{"stop", "N", G::Loader411, "end the transfer with \"STOP\" after N image bytes"},
    OptionInfo{"clock-slack", "S", G::Loader411,
               "largest difference between the time stamp and the box's clock (default 300)"},
    // 1.4 to 1.9 loaders and the hyper bootloader.
    OptionInfo{"hyper-silent", "N", G::HyperLoader,
               "the hyper bootloader ignores the first N blanks"},
    OptionInfo{"refuse-file", "", G::HyperLoader,
               "the menu answers the download entry with an error text instead of \"file:\""},
    // 5.1 and 5.3 loaders.
    OptionInfo{"verdict", "V", G::XmodemVerdict,
               "success (default), download, format, crc, header-crc, stb, newer, manipulated"},
    OptionInfo{"verdict-crlf", "", G::XmodemVerdict,
               "success line with CR LF instead of LF CR (the program must not take it)"},
    OptionInfo{"hold", "MS", G::XmodemVerdict,
               "after --verdict-crlf, listen until quiet for MS (default: --step-timeout)"},
    OptionInfo{"xmodem-fail", "PATH", G::XmodemVerdict,
               "remove the image file PATH before the prompt, so that the sender fails"},
    // Legacy loaders.
    OptionInfo{"ignore-keywords", "N", G::Legacy,
               "leave the first N keywords after the access unanswered"},
    OptionInfo{"id-noise", "N", G::Legacy, "send N bytes of noise after 0xFF"},
    OptionInfo{"ignore-type", "N", G::Legacy, "leave the first N type bytes unanswered"},
    OptionInfo{"type-reply", "B", G::Legacy, "answer the type byte with B instead of 0xFE"},
    OptionInfo{"expect-type", "B", G::Legacy, "the type byte the program must send"},
    OptionInfo{"expect-length", "N", G::Legacy,
               "the length the program must announce (0: it refuses the image)"},
    OptionInfo{"refuse-packet", "K", G::Legacy,
               "refuse the packet with counter K (from 0) --refusals times"},
    OptionInfo{"refusals", "N", G::Legacy, "how often --refuse-packet refuses it"},
    OptionInfo{"refusal-byte", "B", G::Legacy, "the byte that refuses a packet (default 0x15)"},
    OptionInfo{"fail-transfer", "", G::Legacy, "report 0x15 in place of 0x04 (transfer done)"},
    OptionInfo{"fail-erase", "", G::Legacy, "report 0x15 in place of 0x05 (erased)"},
    OptionInfo{"fail-program", "", G::Legacy, "report 0x15 in place of 0x06 (programmed)"},
    OptionInfo{"no-verdict", "", G::Legacy, "send no reports at all"},
    OptionInfo{"erase-ms", "MS", G::Legacy, "time before 0x05 (default 10)"},
    OptionInfo{"program-ms", "MS", G::Legacy, "time before 0x06 (default 10)"},
    // Satellite request.
    OptionInfo{"expect-answer", "C", G::Satellite,
               "the menu answer the program must send (5, 6 or 8)"},
    OptionInfo{"no-menu", "", G::Satellite, "never show the menu"},
    // Line faults.
    OptionInfo{"noise-rate", "R", G::LineFaults,
               "flip one bit of a byte with probability R (0 to 1)"},
    OptionInfo{"noise-dir", "D", G::LineFaults, "to-box, to-program or both (default both)"},
    OptionInfo{"drop-rate", "R", G::LineFaults, "lose a byte with probability R"},
    OptionInfo{"drop-dir", "D", G::LineFaults, "to-box, to-program or both (default to-box)"},
    OptionInfo{"faults-from", "N", G::LineFaults,
               "noise and losses only from the program's Nth byte on (default 1)"},
    OptionInfo{"fault-seed", "S", G::LineFaults, "seed of the noise and losses (default 1)"},
    OptionInfo{"silence-after", "N", G::LineFaults,
               "fall silent for --silence-ms when the program's Nth byte arrives"},
    OptionInfo{"silence-ms", "MS", G::LineFaults, "how long --silence-after keeps silent"},
    OptionInfo{"hangup-after", "N", G::LineFaults,
               "pull the line (both sides close) when the program's Nth byte arrives"},
    OptionInfo{"nak-as-can", "", G::LineFaults, "every NAK (0x15) the box sends arrives as CAN"},
    OptionInfo{"flood-before", "T", G::LineFaults,
               "before the box's first text that holds T, send --flood-bytes of text"},
    OptionInfo{"flood-bytes", "N", G::LineFaults,
               "length of the flood, without a line end (default 10239)"},
    OptionInfo{"error-instead", "T", G::LineFaults,
               "send \"ERROR: line fault\\r\\n\" in place of every text that holds T"},
    OptionInfo{"pace-input", "", G::LineFaults,
               "the program's bytes reach the box no faster than the line rate"},
    // A USB serial adapter.
    OptionInfo{"adapter-latency", "MS", G::Adapter,
               "the box's bytes go out MS (1-255) ms after the first held, at once at 62"},
};

struct GroupInfo {
    OptionGroup group;
    std::string_view heading;
};

constexpr std::array Groups{
    GroupInfo{G::Box, "The box and the run"},
    GroupInfo{G::Access, "Access handshake"},
    GroupInfo{G::Streaming, "Streaming loaders (12.4 to 12.6, 21.x to 24.x)"},
    GroupInfo{G::MenuLoader, "Menu loaders (2.0 to 4.67, 20.5 to 21.0)"},
    GroupInfo{G::Loader411, "4.11 to 4.13 loaders"},
    GroupInfo{G::HyperLoader, "1.4 to 1.9 loaders and the hyper bootloader"},
    GroupInfo{G::XmodemVerdict, "X-modem loaders with verdict lines (5.1, 5.3)"},
    GroupInfo{G::Legacy, "Legacy loaders (10.0 to 12.3)"},
    GroupInfo{G::Satellite, "Satellite update request"},
    GroupInfo{G::LineFaults, "Line faults"},
    GroupInfo{G::Adapter, "USB serial adapter between the box and the program"},
};

constexpr std::string_view UsageHead =
    "usage: boxsim [options]\n"
    "\n"
    "Plays the bootloader of a box on a pseudo-terminal. The first line on standard output is\n"
    "the path of the terminal device for the program, for example\n"
    "  /dev/pts/7\n"
    "(only the path, then a line end; nothing else is written to standard output). Set COM1\n"
    "(to COM4) to that path, or to the --link symlink, and start the program.\n"
    "\n"
    "Options take their value as --name VALUE or --name=VALUE; numbers are decimal or 0x hex.\n";

constexpr std::string_view UsageTail =
    "\n"
    "The --adapter-latency hold acts on what the box sends, after its pacing and line faults;\n"
    "what the program sends reaches the box without delay. The box's log counts the packets\n"
    "the adapter delivered and how many of them its latency timer sent.\n"
    "\n"
    "Log lines on standard error begin with \"boxsim: \"; protocol violations with\n"
    "\"boxsim: violation: \".\n"
    "\n"
    "Exit status: 0 every box played without violation; 1 a protocol violation; 2 usage\n"
    "error or the terminal could not be opened; 3 the program never came (nothing received);\n"
    "4 the line ended (hang-up, time-out or signal) before all boxes were played.\n";

constexpr size_t NameColumn = 22;

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

// Takes the values of the options that set BoxOptions' own fields; false after a message.
bool TakeValue(const std::string& name, const std::string& value, CommandLine& line) {
    BoxOptions& options = line.options;
    long number = 0;
    if (name == "version") {
        if (!ParseVersion(value)) {
            std::fprintf(stderr, "boxsim: --version needs MAJOR.MINOR\n");
            return false;
        }
        options.version = value;
    } else if (name == "hw") {
        uint8_t hardwareType = 0;
        if (!tools::ParseHardwareTypeText(value, hardwareType)) {
            std::fprintf(stderr,
                         "boxsim: --hw needs a hardware type in hexadecimal, 14 or 0x14 (0 to "
                         "FF)\n");
            return false;
        }
        options.hardwareType = hardwareType;
    } else if (name == "baud") {
        if (!ParseNumber(value, number) || number <= 0) {
            std::fprintf(stderr, "boxsim: --baud needs a speed\n");
            return false;
        }
        options.baudRate = static_cast<uint32_t>(number);
    } else if (name == "boxes") {
        if (!ParseNumber(value, number) || number < 1) {
            std::fprintf(stderr, "boxsim: --boxes needs a number of at least 1\n");
            return false;
        }
        line.boxes = number;
    } else if (name == "adapter-latency") {
        if (!ParseNumber(value, number) || number < 1 || number > 255) {
            std::fprintf(stderr, "boxsim: --adapter-latency needs a time from 1 to 255 ms\n");
            return false;
        }
        options.adapterLatencyMs = static_cast<int>(number);
    } else if (name == "link" || name == "save") {
        if (value.empty()) {
            std::fprintf(stderr, "boxsim: --%s needs a path\n", name.c_str());
            return false;
        }
        (name == "link" ? options.linkPath : options.savePath) = value;
    } else {
        options.extra[name] = value;
    }
    return true;
}

}  // namespace

std::span<const OptionInfo> BoxOptionTable() {
    return OptionTable;
}

const OptionInfo* FindBoxOption(std::string_view name) {
    auto found = std::find_if(OptionTable.begin(), OptionTable.end(),
                              [&](const OptionInfo& option) { return option.name == name; });
    return found == OptionTable.end() ? nullptr : &*found;
}

bool ParseCommandLine(int argc, const char* const* argv, CommandLine& line) {
    bool baudGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
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
        const OptionInfo* option = FindBoxOption(name);
        if (option == nullptr) {
            std::fprintf(stderr, "boxsim: unknown option --%s (see --help)\n", name.c_str());
            return false;
        }
        if (option->argument.empty()) {
            // A switch: present or not. "--name=value" is taken as it was written.
            if (name == "help") {
                line.help = true;
            } else if (name == "pace") {
                line.options.pace = true;
            } else {
                line.options.extra[name] = hasValue ? value : "1";
            }
            continue;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "boxsim: --%s needs a value %s\n", name.c_str(),
                             std::string(option->argument).c_str());
                return false;
            }
            value = argv[++i];
        }
        if (!TakeValue(name, value, line)) {
            return false;
        }
        baudGiven = baudGiven || name == "baud";
    }
    if (!baudGiven) {
        line.options.baudRate = line.options.hardwareType < 2 ? 38400 : 115200;
    }
    return true;
}

std::string BoxUsageText() {
    std::string text(UsageHead);
    for (const GroupInfo& group : Groups) {
        text += "\n";
        text += group.heading;
        text += ":\n";
        for (const OptionInfo& option : OptionTable) {
            if (option.group != group.group) {
                continue;
            }
            std::string head = "  --";
            head += option.name;
            if (!option.argument.empty()) {
                head += ' ';
                head += option.argument;
            }
            head.resize(std::max(head.size() + 2, NameColumn), ' ');
            text += head;
            text += option.text;
            text += '\n';
        }
    }
    text += UsageTail;
    return text;
}
