// The bilingual message catalogue: 56 numbered texts in English and German.
#pragma once

#include <array>

inline constexpr int MessageCount = 56;

// Row 0 English, row 1 German; message n in language L is entry L * 56 + n.
extern const std::array<const char*, 2 * MessageCount> MessageCatalog;

// The text of message `number` (0 to 55) in the current language.
const char* messageText(int number);
