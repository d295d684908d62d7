// The verdict lines of the 5.1 and 5.3 loaders and the matcher that recognises them in the
// stream of bytes that the box sends after an X-modem transfer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

// Every line ends with LF followed by CR, and is matched byte for byte.
inline constexpr std::array<std::string_view, 8> BoxVerdictLines = {
    "Download failed! Please try again\n\r",
    "Wrong file format.\n\r",
    "CRC check failed! Please try again\n\r",
    "Header CRC check failed! Please try again\n\r",
    "The software cannot be used with this stb.\n\r",
    "This is not a newer software version\n\r",
    "Manipulated header found (consistency check)!\n\r",
    "Start application         \n\r",
};
// Index of the one line that reports success.
inline constexpr int SuccessVerdictLine = 7;

// One cursor per line: the position of the next expected character of that line. A byte that
// does not continue a line sets its cursor back to the start and is not tried again as that
// line's first character.
struct VerdictMatcher {
    std::array<std::size_t, BoxVerdictLines.size()> cursors{};

    void Reset() { cursors.fill(0); }

    // Offers one byte to the lines in table order. Returns the index of the first line that
    // this byte completes, or -1; once a line is complete the later lines are not looked at.
    [[nodiscard]] int Feed(uint8_t byte) {
        for (std::size_t i = 0; i < BoxVerdictLines.size(); ++i) {
            const std::string_view line = BoxVerdictLines[i];
            if (static_cast<char>(byte) == line[cursors[i]]) {
                if (++cursors[i] == line.size())
                    return static_cast<int>(i);
            } else {
                cursors[i] = 0;
            }
        }
        return -1;
    }
};
