// The satellite update request: after the version line the bootloader shows its menu, ending in
// the prompt "choice!:", and takes the one-character answer that starts the satellite update.
//
// Options:
//   --expect-answer C    the menu answer the program must send ("5", "6" or "8")
//   --no-menu            never show the menu (the program then waits without limit)
#include <string>

#include "box_line.h"
#include "box_players.h"

namespace {

constexpr const char* MenuText =
    "\r\n"
    "1 - exit\r\n"
    "2 - download\r\n"
    "5 - satellite update: Europe Online\r\n"
    "6 - satellite update: ORB\r\n"
    "8 - satellite update: any available method\r\n"
    "choice!:";

}  // namespace

int PlaySatellite(BoxLine& line, const BoxOptions& options) {
    if (options.Has("no-menu")) {
        line.DrainQuiet(-1);
        return 0;
    }
    line.Send(MenuText);
    line.Log("menu sent");
    const int answer = line.ReadByte(options.StepTimeoutMs());
    if (answer == -1) {
        line.Violation("no menu answer within %d ms", options.StepTimeoutMs());
        return 1;
    }
    if (answer < 0) {
        line.Log("the line ended before a menu answer");
        return 0;
    }
    line.Log("menu answer '%c' (0x%02X)", answer >= 0x20 && answer < 0x7F ? answer : '?', answer);
    const std::string expected = options.Get("expect-answer");
    if (!expected.empty() && static_cast<unsigned char>(expected[0]) != answer) {
        line.Violation("menu answer 0x%02X, expected '%s'", answer, expected.c_str());
        return 1;
    }
    // Nothing more belongs to the request: the box now fetches its software on its own.
    const std::vector<uint8_t> more = line.DrainQuiet(500);
    if (!more.empty()) {
        line.Violation("%zu more bytes after the menu answer", more.size());
        return 1;
    }
    return 0;
}
