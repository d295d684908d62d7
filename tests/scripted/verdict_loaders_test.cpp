// The X-modem download of the 5.x loaders on the virtual clock: the verdict-line matcher, the
// echo of what the box says, and how the box's verdict and the transfer's own result combine.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/settings.h"
#include "protocols/procedures.h"
#include "protocols/verdict_lines.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/message_by_number.h"
#include "tests/support/pad_builder.h"

namespace {

constexpr char Ack = 0x06;
constexpr char Nak = 0x15;
const std::string Prompt = "Please start transfer with X modem protocol.";
const std::string SuccessLine = "Start application         \n\r";
const std::string Banner =
    "\n\t\tEEEEE RRRR  RRRR   OOO   RRRR   !!! \n\t\tE     R   R R   R O   O  R   R  !!! "
    "\n\t\tEEEE  RRRR  RRRR  O   O  RRRR    !  \n\t\tE     R  R  R R   O   O  R R        "
    "\n\t\tEEEEE R   R R  R   OOO   R  R    *  \n\n";

// Feeds text to a fresh matcher: the line that the text completes first, and after how many
// bytes; -1 and the text's length when none.
std::pair<int, size_t> Match(const std::string& text) {
    VerdictMatcher matcher;
    for (size_t i = 0; i < text.size(); ++i) {
        const int line = matcher.Feed(static_cast<uint8_t>(text[i]));
        if (line >= 0) {
            return {line, i + 1};
        }
    }
    return {-1, text.size()};
}

// ---- The matcher -------------------------------------------------------------------------------

TEST(VerdictMatcher, RecognisesEveryLineOnItsLastByte) {
    for (size_t i = 0; i < BoxVerdictLines.size(); ++i) {
        const std::string line(BoxVerdictLines[i]);
        // The "Header CRC" line completes the shorter "CRC" line on the same byte.
        const int expected = i == 3 ? 2 : static_cast<int>(i);
        EXPECT_EQ(Match(line), std::make_pair(expected, line.size())) << line;
        EXPECT_EQ(Match(line.substr(0, line.size() - 1)).first, -1) << line;
    }
    EXPECT_EQ(SuccessLine.size(), 28u);
    EXPECT_EQ(std::string(BoxVerdictLines[SuccessVerdictLine]), SuccessLine);
}

struct MatchCase {
    const char* name;
    std::string text;
    int line;
};

class VerdictText : public ::testing::TestWithParam<MatchCase> {};

TEST_P(VerdictText, IsJudgedByTheFirstLineItCompletes) {
    EXPECT_EQ(Match(GetParam().text).first, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VerdictText,
    ::testing::Values(
        MatchCase{"after_progress_text", "Receiving... 100%\r\nChecking\n\r" + SuccessLine, 7},
        MatchCase{"after_a_broken_start", "Start app\n\rWrong file format.\n\r", 1},
        MatchCase{"crlf_ending_is_not_a_verdict", "Start application         \r\n", -1},
        // The second S resets the cursor and is not tried again as a first character.
        MatchCase{"doubled_first_character", "S" + SuccessLine, -1},
        MatchCase{"doubled_then_again", "S" + SuccessLine + SuccessLine, 7},
        MatchCase{"control_byte_inside_a_line",
                  "Start appli\x06"
                  "cation         \n\r",
                  -1},
        MatchCase{"lower_case", "start application         \n\r", -1},
        MatchCase{"spaces_count", "Start application        \n\r", -1},
        MatchCase{"failure_before_success",
                  "This is not a newer software version\n\r" + SuccessLine, 5}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---- The procedure -----------------------------------------------------------------------------

// Plays the 5.x loader: the prompt, then an X-modem receiver that answers each 132-byte
// block with ACK, and after the EOT the scripted text.
class XmodemLoader {
  public:
    explicit XmodemLoader(std::string afterEot) : afterEot_(std::move(afterEot)) {
        fake::BoxSends("\r\nLoader 5.1\r\n" + Prompt + "\r\n");
        fake::BoxSends(std::string(1, Nak), 20);
        fake::SetResponder([this](std::span<const uint8_t> bytes) { OnWrite(bytes); });
    }
    ~XmodemLoader() { fake::SetResponder({}); }

    std::vector<uint8_t> data;
    bool eot = false;
    std::function<void()> onEot;

  private:
    void OnWrite(std::span<const uint8_t> bytes) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        while (!pending_.empty()) {
            if (pending_[0] == 0x04) {
                pending_.erase(pending_.begin());
                eot = true;
                fake::BoxSends(std::string(1, Ack));
                if (onEot) {
                    onEot();
                }
                fake::BoxSends(afterEot_, 100);
                continue;
            }
            if (pending_.size() < 132) {
                return;
            }
            data.insert(data.end(), pending_.begin() + 3, pending_.begin() + 131);
            pending_.erase(pending_.begin(), pending_.begin() + 132);
            fake::BoxSends(std::string(1, Ack));
        }
    }

    std::string afterEot_;
    std::vector<uint8_t> pending_;
};

class XmodemDownloadTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        link_ = OpenSerialLink(1, 115200, 0, 0, 0);
        image_ = test::MakePad(test::RandomBytes(300, 5), 5, 4, 0x00050001);
        path_ = test::TempDir() + "/image.pad";
        ASSERT_TRUE(test::WriteFileBytes(path_, image_));
    }
    int Run() {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result =
            DownloadXmodem(link_, path_.c_str(), 0, 0x00050001, 0, 0, 0, 115200, 0, 0);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }
    std::string Done() const { return std::string(MessageByNumber(10)) + "\n"; }

    SerialLink link_ = InvalidLink;
    std::vector<uint8_t> image_;
    std::string path_;
    std::string out_;
    std::string err_;
};

TEST_F(XmodemDownloadTest, SuccessLineAfterTheTransferGivesSuccess) {
    XmodemLoader box("Programming...\r\n" + SuccessLine);
    ASSERT_EQ(Run(), 0) << err_;

    ASSERT_TRUE(box.eot);
    ASSERT_GE(box.data.size(), image_.size());
    EXPECT_EQ(std::vector<uint8_t>(box.data.begin(), box.data.begin() + image_.size()), image_);
    // The box's text is echoed; the ACK of the EOT is not.
    const std::string echo = "Programming...\r\n" + SuccessLine;
    ASSERT_GE(out_.size(), echo.size() + Done().size());
    EXPECT_EQ(out_.substr(out_.size() - echo.size() - Done().size()), echo + Done());
    EXPECT_EQ(out_.find('\x06'), std::string::npos);
    EXPECT_EQ(out_.find("EEEEE"), std::string::npos);
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(fake::Port().open);
    EXPECT_EQ(fake::PendingFromBox(), 0u);
}

struct FailureCase {
    const char* name;
    std::string text;
};

class FailureVerdicts : public XmodemDownloadTest,
                        public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureVerdicts, PrintTheBannerBeforeDoneAndFail) {
    XmodemLoader box(GetParam().text);
    ASSERT_EQ(Run(), 1);

    const std::string tail = GetParam().text + Banner + Done();
    ASSERT_GE(out_.size(), tail.size());
    EXPECT_EQ(out_.substr(out_.size() - tail.size()), tail);
    EXPECT_TRUE(fake::Port().open);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, FailureVerdicts,
    ::testing::Values(FailureCase{"download", "Download failed! Please try again\n\r"},
                      FailureCase{"format", "Wrong file format.\n\r"},
                      FailureCase{"crc", "CRC check failed! Please try again\n\r"},
                      FailureCase{"header_crc", "Header CRC check failed! Please try again\n\r"},
                      FailureCase{"stb", "The software cannot be used with this stb.\n\r"},
                      FailureCase{"newer", "This is not a newer software version\n\r"},
                      FailureCase{"manipulated",
                                  "Manipulated header found (consistency check)!\n\r"}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(XmodemDownloadTest, OnlyWhiteSpaceAndPrintableBytesAreEchoed) {
    std::string noise;
    for (int b = 0; b < 256; ++b) {
        noise += static_cast<char>(b);
    }
    XmodemLoader box(noise + SuccessLine);
    ASSERT_EQ(Run(), 0);

    std::string shown = "\t\n\v\f\r";
    for (char c = 0x20; c < 0x7F; ++c) {
        shown += c;
    }
    const std::string tail = shown + SuccessLine + Done();
    ASSERT_GE(out_.size(), tail.size());
    EXPECT_EQ(out_.substr(out_.size() - tail.size()), tail);
}

TEST_F(XmodemDownloadTest, CrLfEndingKeepsTheProcedureWaiting) {
    XmodemLoader box("Start application         \r\n");
    // When the procedure waits on a silent box after the CR LF line, the box finally sends the
    // line with its real ending.
    int stalls = 0;
    fake::SetStallHandler([&] {
        ++stalls;
        if (stalls == 1) {
            fake::BoxSends(SuccessLine, 60000);
        }
    });
    ASSERT_EQ(Run(), 0);
    EXPECT_EQ(stalls, 1);
    EXPECT_GE(fake::Now(), 60000u);
    EXPECT_NE(out_.find("Start application         \r\n" + SuccessLine + Done()),
              std::string::npos);
}

TEST_F(XmodemDownloadTest, TransferFailureStillWaitsForTheVerdictAndFailsWithoutBanner) {
    XmodemLoader box("");
    fake::FailWrites(5, 1);  // the first block cannot be written
    fake::BoxSends("Timeout\r\n" + SuccessLine, 3000);
    ASSERT_EQ(Run(), 1);

    EXPECT_FALSE(box.eot);
    EXPECT_EQ(err_, "Error during write to COM\n" + FailureHintLine(5));
    EXPECT_EQ(out_.find("EEEEE"), std::string::npos);
    const std::string tail = "Timeout\r\n" + SuccessLine + Done();
    ASSERT_GE(out_.size(), tail.size());
    EXPECT_EQ(out_.substr(out_.size() - tail.size()), tail);
    EXPECT_TRUE(fake::Port().open);
}

TEST_F(XmodemDownloadTest, TransferFailureAndFailureVerdictPrintTheBanner) {
    XmodemLoader box("");
    fake::FailWrites(5, 1);
    fake::BoxSends("Wrong file format.\n\r", 3000);
    ASSERT_EQ(Run(), 1);
    EXPECT_NE(out_.find("Wrong file format.\n\r" + Banner + Done()), std::string::npos);
}

TEST_F(XmodemDownloadTest, ReadFailureWhileWaitingForTheVerdictFailsWithBanner) {
    XmodemLoader box("never read");
    box.onEot = [] { fake::FailReads(ErrorOperationAborted, 1); };
    ASSERT_EQ(Run(), 1);

    EXPECT_TRUE(box.eot);
    EXPECT_EQ(err_, "Error during write to COM\n" + FailureHintLine(ErrorOperationAborted));
    const std::string tail = Banner + Done();
    ASSERT_GE(out_.size(), tail.size());
    EXPECT_EQ(out_.substr(out_.size() - tail.size()), tail);
}

TEST_F(XmodemDownloadTest, MissingPromptClosesThePortWithMessage13) {
    fake::BoxSends("\r\nERROR: no loader\r\n");
    ASSERT_EQ(Run(), 1);
    EXPECT_EQ(err_, std::string(MessageByNumber(13)) + " 536870919\n" +
                        FailureHintLine(ErrorBoxErrorText));
    EXPECT_FALSE(fake::Port().open);
    EXPECT_TRUE(fake::Written().empty());
}

TEST_F(XmodemDownloadTest, TheVerdictWaitSleepsWhileTheBoxIsSilent) {
    XmodemLoader box("");
    box.onEot = [] { fake::BoxSends(SuccessLine, 3600000); };  // an hour of programming
    ASSERT_EQ(Run(), 0);
    EXPECT_GE(fake::Now(), 3600000u);
}

}  // namespace
