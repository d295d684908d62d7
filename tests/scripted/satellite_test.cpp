// The satellite update request against a scripted menu on the virtual clock, and the choice of
// the menu answer by method name.
#include <gtest/gtest.h>

#include <string>

#include "protocols/satellite.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"

namespace {

TEST(SatelliteMenuAnswer, TakesTheFirstThreeLettersInAnyCase) {
    struct Case {
        const char* method;
        const char* answer;  // nullptr: no answer
    };
    const Case cases[] = {
        {"EOL", "5"},     {"eol", "5"},     {"EoL", "5"},     {"eolsat", "5"}, {"ORB", "6"},
        {"orb", "6"},     {"Orbit", "6"},   {"MIX", "8"},     {"mix", "8"},    {"mIxEd", "8"},
        {"ast", nullptr}, {"AST", nullptr}, {"eo", nullptr},  {"", nullptr},   {"xeol", nullptr},
        {"OR", nullptr},  {"ORX", nullptr}, {"e0l", nullptr}, {"EOl ", "5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.method);
        const char* answer = SatelliteMenuAnswer(c.method);
        if (c.answer == nullptr) {
            EXPECT_EQ(answer, nullptr);
        } else {
            ASSERT_NE(answer, nullptr);
            EXPECT_STREQ(answer, c.answer);
        }
    }
    EXPECT_EQ(SatelliteMenuAnswer(nullptr), nullptr);
}

class SatelliteRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        link = OpenSerialLink(1, 115200, 0, 0, 0);
        ASSERT_NE(link, InvalidLink);
        fake::ClearWritten();
    }

    int Request(const char* answer) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result = RequestSatelliteUpdate(link, answer);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    SerialLink link = InvalidLink;
    std::string out;
    std::string err;
};

TEST_F(SatelliteRequestTest, AnswersTheMenuPromptAtFullSpeed) {
    struct Case {
        uint32_t speed;
        uint32_t pauseMs;
    };
    // The 300 ms pause always; the 500 ms after a speed change only when the speed changes.
    for (const Case& c : {Case{115200, 300}, Case{38400, 800}}) {
        SCOPED_TRACE(c.speed);
        fake::Reset();
        link = OpenSerialLink(1, c.speed, 0, 0, 0);
        fake::ClearWritten();
        uint32_t answeredAt = 0;
        fake::SetResponder([&answeredAt](std::span<const uint8_t>) { answeredAt = fake::Now(); });
        const uint32_t promptAt = fake::Now() + 40;
        fake::BoxSendsAt(promptAt, "\r\n5 - Europe Online\r\n6 - ORB\r\nchoice!:");
        EXPECT_EQ(Request("6"), 0);
        EXPECT_EQ(fake::WrittenText(), "6") << "the menu is read, nothing is echoed";
        EXPECT_EQ(answeredAt - promptAt, c.pauseMs);
        EXPECT_EQ(fake::Port().baudRate, 115200u);
        EXPECT_EQ(fake::Port().closes, 0);
        EXPECT_EQ(out,
                  "Done!                   \n"
                  "Please be patient and wait for update to be finished (about 15min)\n\n");
        EXPECT_EQ(err, "");
        fake::SetResponder({});
    }
}

TEST_F(SatelliteRequestTest, FailuresCloseTheLink) {
    struct Case {
        const char* name;
        const char* box;
        int failBaud;
        int failWrite;
        std::string err;  // the specified line and the line that follows it
        const char* out;
    };
    const Case cases[] = {
        {"box error text instead of the prompt", "ERROR: no tuner\n", 0, 0,
         "WaitFor error  536870919\n" + FailureHintLine(ErrorBoxErrorText),
         "\n\nERROR: no tuner\n\n\n"},
        {"speed change fails", "choice!:", 1, 0, "", ""},
        {"answer cannot be sent", "choice!:", 0, 1, "WriteFile error  5\n" + FailureHintLine(5),
         ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        link = OpenSerialLink(1, 115200, 0, 0, 0);
        fake::BoxSends(c.box);
        fake::FailBaudChanges(c.failBaud);
        if (c.failWrite != 0) {
            fake::FailWrites(5, c.failWrite);
        }
        EXPECT_EQ(Request("5"), 1);
        EXPECT_EQ(err, c.err);
        EXPECT_EQ(out, c.out);
        EXPECT_TRUE(fake::Written().empty());
        EXPECT_EQ(fake::Port().closes, 1);
    }
}

TEST_F(SatelliteRequestTest, SendsNothingWithoutAnAnswer) {
    fake::BoxSends("choice!:");
    EXPECT_EQ(Request(nullptr), 1);
    EXPECT_TRUE(fake::Written().empty());
    EXPECT_EQ(fake::Port().closes, 1);
}

}  // namespace
