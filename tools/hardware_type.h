// The hardware type as the companion programs take it on their command lines (padtool make
// --hw, boxsim --hw): hexadecimal, as hardware types are printed, with or without "0x", so that
// the same text means the same box in both.
#pragma once

#include <cstdint>
#include <string_view>

namespace tools {

// One or two hexadecimal digits, optionally after "0x" or "0X" ("14" and "0x14" are 0x14).
// False for anything else (empty, a sign, blanks, more than 0xFF).
constexpr bool ParseHardwareTypeText(std::string_view text, uint8_t& hardwareType) {
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 2) {
        return false;
    }
    unsigned value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) {
            digit = static_cast<unsigned>((c | 0x20) - 'a' + 10);
        } else {
            return false;
        }
        value = value * 16 + digit;
    }
    hardwareType = static_cast<uint8_t>(value);
    return true;
}

}  // namespace tools
