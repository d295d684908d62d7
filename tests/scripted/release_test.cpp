// The release of a box that is given up on, on the virtual clock: the wait for the download
// prompt and the release block's send share one bound, so that a box of another family, which
// never sends the prompt, cannot keep the program from ending.
#include <gtest/gtest.h>

#include "common/settings.h"
#include "frontend/session.h"
#include "platform/platform.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"

namespace {

struct ReleaseCase {
    const char* name;
    int promptAtMs;                 // when the box sends "Now start download" (-1: never)
    bool answers;                   // the box asks for the block (NAK) and acknowledges every frame
    uint32_t earliestMs, latestMs;  // when ReleaseBox has returned
};

const ReleaseCase releaseCases[] = {
    {"AnsweringBoxGetsTheBlockAtOnce", 0, true, 0, 100},
    {"PromptJustInTimeStillReleases", 29900, true, 29900, 30000},
    {"BoxOfAnotherFamilyEndsAtTheBound", -1, false, 30000, 30002},
    {"PromptWithoutNakEndsAtTheBound", 20000, false, 30000, 30002},
};

class Release : public ::testing::TestWithParam<ReleaseCase> {};

TEST_P(Release, PromptAndBlockShareOneBound) {
    const ReleaseCase& c = GetParam();
    fake::Reset();
    language = 0;
    SetReportedPort(1);
    const SerialLink link = OpenSerialLink(1, 115200, 1, 0, 0);
    const uint32_t start = fake::Now();
    if (c.promptAtMs >= 0) {
        const uint32_t at = start + static_cast<uint32_t>(c.promptAtMs);
        fake::BoxSendsAt(at, "\r\nNow start download\r\n");
        if (c.answers) {
            fake::BoxSendsAt(at + 5, "\x15");  // NAK: the receiver asks for block 1
            fake::SetResponder([](std::span<const uint8_t>) { fake::BoxSends("\x06", 1); });
        }
    }
    ::testing::internal::CaptureStderr();
    const int result = ReleaseBox(link, 1);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const uint32_t took = fake::Now() - start;
    EXPECT_TRUE(took >= c.earliestMs && took <= c.latestMs) << took;
    if (c.answers) {
        // Four blocks of the 400-byte release block and the EOT; the link stays open.
        EXPECT_EQ(result, 0);
        ASSERT_EQ(fake::Written().size(), 4u * 132u + 1u);
        EXPECT_EQ(fake::Written()[6], 0x91);
        EXPECT_TRUE(fake::Port().open);
        EXPECT_EQ(err, "");
    } else {
        EXPECT_EQ(result, 1);
        EXPECT_FALSE(fake::Port().open);
        EXPECT_EQ(err, "WaitFor error  536870914\n" + FailureHintLine(ErrorTimeout));
    }
}

INSTANTIATE_TEST_SUITE_P(Box, Release, ::testing::ValuesIn(releaseCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
