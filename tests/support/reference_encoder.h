// A reference prefix encoder for tests: walks the code bit strings of ByteCodeTable one bit at a
// time, independent of the reader's 32-bit register, and pads the last byte with 1-bits.
#pragma once

#include <cstdint>
#include <vector>

#include "protocols/block_transfer.h"

inline std::vector<uint8_t> ReferenceEncode(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    uint32_t current = 0;
    int filled = 0;
    for (uint8_t byte : bytes) {
        const ByteCode code = ByteCodeTable[byte];
        for (int bit = code.length - 1; bit >= 0; --bit) {
            current = (current << 1) | ((code.value >> bit) & 1u);
            if (++filled == 8) {
                out.push_back(static_cast<uint8_t>(current));
                current = 0;
                filled = 0;
            }
        }
    }
    if (filled != 0) {
        out.push_back(static_cast<uint8_t>((current << (8 - filled)) | ((1u << (8 - filled)) - 1)));
    }
    return out;
}
