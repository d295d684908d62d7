// The reason of an error value in words, from the system's message table (FormatMessage).
#include <windows.h>

#include <array>
#include <cstdio>

#include "platform/platform.h"

const char* SystemErrorText(uint32_t value) {
    thread_local std::array<char, 512> text{};
    DWORD length = 0;
    if (value != 0 && value < 0x20000000) {
        length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                value, 0, text.data(), static_cast<DWORD>(text.size()), nullptr);
    }
    // The system's texts end in ".\r\n"; the caller places the line end.
    while (length > 0 &&
           (text[length - 1] == '\n' || text[length - 1] == '\r' || text[length - 1] == ' ')) {
        --length;
    }
    if (length == 0) {
        std::snprintf(text.data(), text.size(), "error %lu", static_cast<unsigned long>(value));
        return text.data();
    }
    text[length] = '\0';
    return text.data();
}

bool SystemKnowsError(uint32_t value) {
    if (value == 0 || value >= 0x20000000) {
        return false;
    }
    std::array<char, 512> text{};
    return FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          value, 0, text.data(), static_cast<DWORD>(text.size()), nullptr) > 0;
}
