// The version query of the access handshake (QueryLoaderVersion) on whatever a box may send,
// through the scripted port. When everything arrives at once the result must be what a plain
// reading of the scan gives: "Bootloader Version" matched with a restart at every mismatch
// (the breaking byte is not tried as the first character), the rest of the line up to CR or
// LF, then "%d.%d", or ": " and "%x.%x". With pieces arriving over time, the query must end
// within its limit, and a version may only come from a line that holds the text.
//
// Input: a mode byte (low bit: pieces over time), then the box's bytes.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "frontend/session.h"
#include "fuzz/scripted_input.h"
#include "platform/platform.h"
#include "serial/port.h"

namespace {

constexpr SerialLink Link = 42;
constexpr uint32_t LimitMs = 15000;
constexpr std::string_view Expected = "Bootloader Version";

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "version query: %s\n", what);
    std::abort();
}

enum class Number { Read, None, TooLarge };

// Reads a number in `base` the way strtol does ("%d", "%x"): white space, a sign, for base 16
// an optional "0x", digits.
Number ReadNumber(std::string_view& text, int base, long long& value) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    auto digitAt = [&](size_t k) {
        if (k >= text.size()) {
            return -1;
        }
        const char c = text[k];
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (base == 16 && (c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
            return (c | 0x20) - 'a' + 10;
        }
        return -1;
    };
    if (base == 16 && i + 2 < text.size() && text[i] == '0' && (text[i + 1] | 0x20) == 'x' &&
        digitAt(i + 2) >= 0) {
        i += 2;
    }
    const size_t digits = i;
    value = 0;
    for (int digit = digitAt(i); digit >= 0; digit = digitAt(++i)) {
        value = value * base + digit;
        if (value > 0x7FFFFFFF) {
            return Number::TooLarge;  // how an overflowing version fails is not compared
        }
    }
    if (i == digits) {
        return Number::None;
    }
    value = negative ? -value : value;
    text.remove_prefix(i);
    return Number::Read;
}

enum class Outcome { Version, NoVersion, NoLine, Unchecked };

// "major.minor" in `base`; Unchecked when a number is too large to compare.
Outcome ReadPair(std::string_view text, int base, long long& major, long long& minor) {
    Number first = ReadNumber(text, base, major);
    if (first != Number::Read) {
        return first == Number::TooLarge ? Outcome::Unchecked : Outcome::NoVersion;
    }
    if (text.empty() || text[0] != '.') {
        return Outcome::NoVersion;
    }
    text.remove_prefix(1);
    Number second = ReadNumber(text, base, minor);
    if (second != Number::Read) {
        return second == Number::TooLarge ? Outcome::Unchecked : Outcome::NoVersion;
    }
    return Outcome::Version;
}

Outcome ReadReference(std::string_view box, long long& major, long long& minor) {
    size_t matched = 0;
    size_t at = 0;
    while (matched < Expected.size()) {
        if (at == box.size()) {
            return Outcome::NoLine;
        }
        matched = box[at++] == Expected[matched] ? matched + 1 : 0;
    }
    const size_t end = box.find_first_of("\r\n", at);
    if (end == std::string_view::npos) {
        return Outcome::NoLine;
    }
    if (end - at + Expected.size() + 1 > 10240) {
        return Outcome::Unchecked;  // longer than the wait buffer: how it fails is free
    }
    std::string_view line = box.substr(at, end - at);
    line = line.substr(0, line.find('\0'));
    const Outcome decimal = ReadPair(line, 10, major, minor);
    if (decimal != Outcome::NoVersion || line.substr(0, 2) != ": ") {
        return decimal;
    }
    return ReadPair(line.substr(2), 16, major, minor);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const bool overTime = (input.Byte() & 1) != 0;
    fake::Reset();
    std::string box;
    if (overTime) {
        fuzz::QueueBoxPieces(input, 1000, &box);
    } else {
        box = std::string(input.Rest());
        fake::BoxSends(box);
    }

    LoaderVersion version{-7, -7};
    const uint32_t start = fake::Now();
    const int result = QueryLoaderVersion(Link, version, LimitMs);
    const uint32_t took = fake::Now() - start;
    const uint32_t error = GetLastErrorValue();

    if (result == 0 && error == ErrorTimeout && took <= LimitMs) {
        Fail("a time-out before the limit passed");
    }
    // Each read may wait the whole limit and the limit is checked after it, so a byte shortly
    // before the limit can stretch the query to twice the limit, never more.
    if (took > 2 * LimitMs + 2) {
        Fail("the query ran past twice its limit");
    }
    if (overTime) {
        // Pieces that arrive late let the query read expired bytes as zeros, so the line is not
        // compared; but a version can only come from a box that sent the text at all.
        if (result == 1 && box.find(Expected) == std::string::npos) {
            Fail("success without a version line");
        }
        return 0;
    }
    long long major = 0;
    long long minor = 0;
    switch (ReadReference(box, major, minor)) {
        case Outcome::Version:
            if (result != 1 || version.major != major || version.minor != minor) {
                Fail("the version line was not read as written");
            }
            break;
        case Outcome::NoVersion:
            if (result != 0 || error == ErrorTimeout) {
                Fail("a line without a version was taken, or reported as a time-out");
            }
            break;
        case Outcome::NoLine:
            if (result != 0 || error != ErrorTimeout) {
                Fail("no complete version line, yet no time-out");
            }
            break;
        case Outcome::Unchecked:
            break;
    }
    return 0;
}
