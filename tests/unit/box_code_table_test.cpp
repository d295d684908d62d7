// boxsim's own code table against the program's: the box decodes with a copy of its own, so a
// wrong cell in either table fails here instead of being encoded and decoded alike end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "protocols/block_transfer.h"
#include "tools/boxsim/box_code_table.h"

namespace {

std::string Cell(unsigned length, unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u:%X", length, value);
    return text;
}

TEST(BoxCodeTable, EqualsTheProgramsTableCellForCell) {
    std::string differing;
    for (int byte = 0; byte < 256; ++byte) {
        const box::Code box = box::BoxCodeTable[byte];
        const ByteCode program = ByteCodeTable[byte];
        if (box.length != program.length || box.value != program.value) {
            char name[8];
            std::snprintf(name, sizeof name, "0x%02X", byte);
            differing += std::string(" ") + name + " (box " + Cell(box.length, box.value) +
                         ", program " + Cell(program.length, program.value) + ")";
        }
    }
    EXPECT_TRUE(differing.empty()) << "byte values whose codes differ:" << differing;
}

TEST(BoxCodeTable, IsACompletePrefixCode) {
    // Kraft sum in units of 2^-13 (the longest code): exactly 1 is 2^13 units.
    uint32_t kraftUnits = 0;
    std::vector<std::string> codes;
    for (int byte = 0; byte < 256; ++byte) {
        const box::Code code = box::BoxCodeTable[byte];
        ASSERT_GE(code.length, 1) << "byte " << byte;
        ASSERT_LE(code.length, 13) << "byte " << byte;
        ASSERT_EQ(code.value >> code.length, 0) << "byte " << byte << " has bits above its length";
        kraftUnits += 1u << (13 - code.length);
        std::string bits;
        for (int bit = code.length - 1; bit >= 0; --bit) {
            bits += ((code.value >> bit) & 1) != 0 ? '1' : '0';
        }
        codes.push_back(bits);
    }
    EXPECT_EQ(kraftUnits, 1u << 13);
    // Sorted, a code that begins any other also begins the code right after it.
    std::sort(codes.begin(), codes.end());
    for (size_t i = 1; i < codes.size(); ++i) {
        EXPECT_FALSE(codes[i].starts_with(codes[i - 1])) << codes[i - 1] << " begins " << codes[i];
    }
}

}  // namespace
