// The release of a box that is given up on, on the virtual clock: the wait for the download
// prompt and the release block's send are bounded together, so that a box of another family,
// which never sends the prompt, cannot keep the program from ending.
#include <gtest/gtest.h>

#include <string>

#include "frontend/messages.h"
#include "frontend/session.h"
#include "platform/platform.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/message_by_number.h"

namespace {

constexpr char Nak = 0x15;
constexpr char Ack = 0x06;
constexpr uint32_t BoundMs = 30000;

struct ReleaseCase {
    const char* name;
    int promptAtMs;  // when the box sends "Now start download" (-1: never)
    bool answers;    // the box asks for the block (NAK) and acknowledges every frame
    int result;
    uint32_t endsAtMs;     // virtual time at which ReleaseBox has returned, at the latest
    uint32_t endsAfterMs;  // ... and at the earliest
};

const ReleaseCase releaseCases[] = {
    {"AnsweringBoxGetsTheBlockAtOnce", 0, true, 0, 100, 0},
    {"PromptJustInTimeStillReleases", 29900, true, 0, 30000, 29900},
    {"BoxOfAnotherFamilyEndsAtTheBound", -1, false, 1, BoundMs + 2, BoundMs},
    {"PromptWithoutNakEndsAtTheBound", 20000, false, 1, BoundMs + 2, BoundMs},
};

class Release : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(Release, PromptAndBlockShareOneBound) {
    const ReleaseCase& c = GetParam();
    fake::Reset();
    language = 0;
    SetReportedPort(1);
    const SerialLink link = OpenSerialLink(1, 115200, 1, 0, 0);
    ASSERT_NE(link, InvalidLink);
    const uint32_t start = fake::Now();
    if (c.promptAtMs >= 0) {
        const uint32_t at = start + static_cast<uint32_t>(c.promptAtMs);
        fake::BoxSendsAt(at, "\r\nNow start download\r\n");
        if (c.answers) {
            fake::BoxSendsAt(at + 5, std::string(1, Nak));  // the receiver asks for block 1
        }
    }
    if (c.answers) {
        fake::SetResponder(
            [](std::span<const uint8_t>) { fake::BoxSends(std::string(1, Ack), 1); });
    }
    ::testing::internal::CaptureStderr();
    const int result = ReleaseBox(link, 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const uint32_t took = fake::Now() - start;

    EXPECT_EQ(result, c.result);
    EXPECT_LE(took, c.endsAtMs);
    EXPECT_GE(took, c.endsAfterMs);
    if (c.result == 0) {
        // Four blocks of the 400-byte release block and the EOT; the link stays open.
        ASSERT_EQ(fake::Written().size(), 4u * 132u + 1u);
        EXPECT_EQ(fake::Written()[3 + 3], 0x91);
        EXPECT_TRUE(fake::Port().open);
        EXPECT_EQ(err, "");
    } else {
        EXPECT_EQ(GetLastErrorValue(), ErrorTimeout);
        EXPECT_FALSE(fake::Port().open);
        EXPECT_EQ(
            err, std::string(MessageByNumber(13)) + " 536870914\n" + FailureHintLine(ErrorTimeout));
    }
}

INSTANTIATE_TEST_SUITE_P(Box, Release, ::testing::ValuesIn(releaseCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
