// Time limits and pauses of the conversation with the box that more than one download procedure
// (and the session) use. A limit that only one file uses stays a constant of that file.
#pragma once

#include <cstdint>

// A menu entry, a keyword, a record or a single byte for the box must be handed to the port
// within this time.
inline constexpr uint32_t SendLimitMs = 1000;

// The limit of the image transfers of the menu-driven loaders: the longest silence of the box
// in the block transfer, and the whole transfer of the compressed download.
inline constexpr uint32_t TransferLimitMs = 120000;

// The pause of the 2.x to 4.x menu loaders (and of the 4.11 to 4.13 loaders) before the menu
// entry and after the "file:" prompt: the box needs it before it takes the next bytes.
inline constexpr uint32_t MenuPauseMs = 500;
