// The matcher of the 5.x loaders' verdict lines (VerdictMatcher) on any byte stream: it may
// only report a line whose bytes have just arrived, in full and in order, and it must report
// each line that arrives after a break in the matching (a line feed or a byte no line goes on
// with), so a verdict cannot be missed after noise or invented from it.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocols/verdict_lines.h"

namespace {

[[noreturn]] void Fail(const char* what, int line, size_t at) {
    std::fprintf(stderr, "VerdictMatcher: %s (line %d, byte %zu)\n", what, line, at);
    std::abort();
}

// Whether `line` lies wholly within the bytes fed since the last reset of every cursor, i.e.
// a clean start for that line: the byte before it broke every line's match.
bool ArrivedAfterBreak(const std::string& fed, size_t end, std::string_view line) {
    if (end < line.size()) {
        return false;
    }
    const size_t begin = end - line.size();
    return begin == 0 || fed[begin - 1] == '\r';
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    VerdictMatcher matcher;
    matcher.Reset();
    std::string fed;
    for (size_t i = 0; i < size; ++i) {
        fed += static_cast<char>(data[i]);
        const int line = matcher.Feed(data[i]);
        if (line < -1 || line >= static_cast<int>(BoxVerdictLines.size())) {
            Fail("an index outside the table", line, i);
        }
        if (line >= 0) {
            const std::string_view text = BoxVerdictLines[static_cast<size_t>(line)];
            if (fed.size() < text.size() ||
                std::string_view(fed).substr(fed.size() - text.size()) != text) {
                Fail("a line reported that has not arrived", line, i);
            }
            matcher.Reset();
            fed.clear();
            continue;
        }
        // A line whose every byte arrived right after the previous line's end ("\n\r") must
        // have been reported.
        for (size_t k = 0; k < BoxVerdictLines.size(); ++k) {
            if (ArrivedAfterBreak(fed, fed.size(), BoxVerdictLines[k])) {
                const std::string_view text = BoxVerdictLines[k];
                if (std::string_view(fed).substr(fed.size() - text.size()) == text) {
                    Fail("a line that arrived whole after a line end was missed",
                         static_cast<int>(k), i);
                }
            }
        }
    }
    return 0;
}
