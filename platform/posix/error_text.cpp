// The reason of an error value in words, from the C library's table of errno texts.
#include <array>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

const char* SystemErrorText(uint32_t value) {
    thread_local std::array<char, 256> text{};
    // errno values are small positive numbers; anything else is not the C library's.
    if (value == 0 || value >= 0x10000) {
        std::snprintf(text.data(), text.size(), "error %u", value);
        return text.data();
    }
    // The GNU strerror_r returns its text (which may be a static string) rather than filling
    // the buffer; it never fails, and says "Unknown error N" for numbers it does not know.
    const char* words = strerror_r(static_cast<int>(value), text.data(), text.size());
    if (words != text.data()) {
        std::snprintf(text.data(), text.size(), "%s", words);
    }
    return text.data();
}

bool SystemKnowsError(uint32_t value) {
    // strerrorname_np names exactly the errno values that the C library has a text for.
    return value != 0 && value < 0x10000 && strerrorname_np(static_cast<int>(value)) != nullptr;
}
