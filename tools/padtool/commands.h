// padtool's command line: info, make, compress and hyper, with their option parsing.
#pragma once

#include <cstdint>
#include <string_view>

namespace padtool {

// Exit statuses.
inline constexpr int ExitOk = 0;
inline constexpr int ExitFailure = 1;  // a file is not sound, cannot be read or written
inline constexpr int ExitUsage = 2;

// A hardware type in hexadecimal, one or two digits with or without "0x" ("14", "0x14").
bool ParseHardwareType(std::string_view text, uint8_t& hardwareType);
// A software id: a version "X.Y" in decimal (each part 0 to 65535), or "0x" and up to eight
// hexadecimal digits.
bool ParseSoftwareId(std::string_view text, uint32_t& softwareId);

// Runs padtool with its command line; returns the exit status.
int RunPadtool(int argc, char** argv);

}  // namespace padtool
