// The time stamp handed to the 4.11 to 4.13 loaders: Modified Julian Date and BCD time.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "protocols/loader411.h"

namespace {

struct StampCase {
    int year, month, day, hour, minute, second;
    std::array<uint8_t, 5> expected;
};

class BoxTimeStampTest : public ::testing::TestWithParam<StampCase> {};

TEST_P(BoxTimeStampTest, GivesDateAndTimeBytes) {
    const StampCase& c = GetParam();
    std::array<uint8_t, 5> out{0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    BuildBoxTimeStamp(c.year, c.month, c.day, c.hour, c.minute, c.second, out.data());
    EXPECT_EQ(out, c.expected) << c.year << "-" << c.month << "-" << c.day;
}

INSTANTIATE_TEST_SUITE_P(
    Dates, BoxTimeStampTest,
    ::testing::Values(
        // The reference date of the DVB time coding.
        StampCase{1993, 10, 13, 12, 45, 0, {0xC0, 0x79, 0x12, 0x45, 0x00}},
        // January and February count as months 13 and 14 of the year before.
        StampCase{2004, 2, 29, 0, 0, 0, {0xCF, 0x48, 0x00, 0x00, 0x00}},
        StampCase{2004, 3, 1, 0, 0, 0, {0xCF, 0x49, 0x00, 0x00, 0x00}},
        StampCase{2003, 1, 1, 0, 0, 0, {0xCD, 0xA0, 0x00, 0x00, 0x00}},
        StampCase{2002, 12, 31, 0, 0, 0, {0xCD, 0x9F, 0x00, 0x00, 0x00}},
        // Every time field is two BCD digits, never binary.
        StampCase{2003, 1, 1, 23, 59, 59, {0xCD, 0xA0, 0x23, 0x59, 0x59}},
        StampCase{2003, 1, 1, 9, 8, 7, {0xCD, 0xA0, 0x09, 0x08, 0x07}},
        // The date is 16 bits wide: 23 April 2038 wraps to 0, the day before is the last.
        StampCase{2038, 4, 22, 0, 0, 0, {0xFF, 0xFF, 0x00, 0x00, 0x00}},
        StampCase{2038, 4, 23, 0, 0, 0, {0x00, 0x00, 0x00, 0x00, 0x00}},
        StampCase{2038, 4, 24, 10, 30, 0, {0x00, 0x01, 0x10, 0x30, 0x00}}));

}  // namespace
