// The satellite update request: instead of sending an image, pick the bootloader's menu entry
// that makes the box fetch new software from a satellite data service by itself.
#include "protocols/satellite.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "common/messages.h"
#include "platform/platform.h"
#include "protocols/link_steps.h"

namespace {

struct SatelliteMethod {
    std::string_view name;  // the first three letters of the method argument, upper case
    const char* answer;     // the menu entry, sent without terminator
};

constexpr std::array<SatelliteMethod, 3> SatelliteMethods{{
    {"EOL", "5"},  // Europe Online
    {"ORB", "6"},  // ORB
    {"MIX", "8"},  // whichever method is available
}};

char UpperCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

const char* SatelliteMenuAnswer(const char* methodName) {
    if (methodName == nullptr) {
        return nullptr;
    }
    std::array<char, 3> name{};
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (methodName[i] == '\0') {
            return nullptr;  // shorter than three characters
        }
        name[i] = UpperCase(methodName[i]);
    }
    const std::string_view key(name.data(), name.size());
    for (const SatelliteMethod& method : SatelliteMethods) {
        if (method.name == key) {
            return method.answer;
        }
    }
    return nullptr;
}

int RequestSatelliteUpdate(SerialLink link, const char* answer) {
    if (answer == nullptr) {
        // No request goes out without a defined menu answer (the session refuses such a
        // method before it opens the port; this guards any other caller).
        CloseSerialLink(link);
        return 1;
    }
    if (WaitOrReport(link, "choice!:") != 0 || EnterMenu(link, 0) != MenuEntered ||
        SendOrReport(link, answer) != 0)
        return 1;
    std::printf("%s\n", messageText(Message::Done));
    std::printf("%s\n", messageText(Message::PleaseBePatient));
    return 0;
}
