// The prefix code of the encoded image stream, as the box knows it: the box's own copy of the
// code, kept apart from the program's so that a wrong code in the program shows up as a
// mismatch instead of being encoded and decoded alike.
#pragma once

#include <array>
#include <cstdint>

namespace box {

// One code of a prefix code: its length in bits and its value (the low `length` bits, most
// significant bit first).
struct Code {
    uint8_t length = 0;
    uint16_t value = 0;
};

// The code of every byte value, in byte order: 2 to 13 bits, 0x00 takes the two bits 00.
extern const std::array<Code, 256> BoxCodeTable;

}  // namespace box
