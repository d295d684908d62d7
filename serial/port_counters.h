// What the port has put on the line: the bytes that each write handed to the port, counted by
// the port implementations (and the scripted port), for the production log's record of a box.
#pragma once

#include <cstdint>

// Adds `bytes` to the count; the port's write calls it with what went out.
void CountBytesSent(uint32_t bytes);
// The bytes counted since the last reset.
[[nodiscard]] uint64_t BytesSent();
// Starts the count again (at the start of each box).
void ResetBytesSent();
