// The 1.x download on the virtual clock: the four menu procedures with their differences, the
// hyper.pad file on the line and on disk, and the wake-up of the hyper bootloader.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/settings.h"
#include "image/pad_image.h"
#include "protocols/block_transfer.h"
#include "protocols/procedures.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/message_by_number.h"
#include "tests/support/pad_builder.h"

namespace {

// The prefix code of the encoded transfers, built here from the table bit by bit.
std::vector<uint8_t> Encode(const std::vector<uint8_t>& bytes) {
    std::vector<uint8_t> out;
    uint8_t current = 0;
    int filled = 0;
    auto put = [&](int bit) {
        current = static_cast<uint8_t>((current << 1) | bit);
        if (++filled == 8) {
            out.push_back(current);
            current = 0;
            filled = 0;
        }
    };
    for (uint8_t b : bytes) {
        const ByteCode code = ByteCodeTable[b];
        for (int i = code.length - 1; i >= 0; --i) {
            put((code.value >> i) & 1);
        }
    }
    while (filled != 0) {
        put(1);
    }
    return out;
}

// hyper.pad as it must be: N = 35,632, the optional tag, the built-in image, its byte sum.
std::vector<uint8_t> HyperPadFile(bool tagged) {
    std::vector<uint8_t> file{0x00, 0x00, 0x8B, 0x30};
    if (tagged) {
        file.push_back(0x01);
    }
    uint32_t sum = 0;
    for (uint8_t b : HyperBootloaderImage) {
        file.push_back(b);
        sum += b;
    }
    for (int shift = 24; shift >= 0; shift -= 8) {
        file.push_back(static_cast<uint8_t>(sum >> shift));
    }
    return file;
}

std::string StripProgress(const std::string& text) {
    static const std::regex progress(" *[0-9]+ % transfered {7}\b{27}");
    return std::regex_replace(text, progress, "");
}

std::string Line(int message) {
    return std::string(MessageByNumber(message)) + "\n";
}

// Plays an old menu and the hyper bootloader, phase by phase, on what the program writes.
class HyperBox {
  public:
    enum class Phase { Menu, Confirm, Pad, Blanks, Type, Image, Done };

    HyperBox(std::string entry, bool confirm, std::vector<uint8_t> padStream,
             std::vector<uint8_t> imageStream)
        : entry_(std::move(entry)),
          confirm_(confirm),
          padStream_(std::move(padStream)),
          imageStream_(std::move(imageStream)) {
        fake::BoxSends("\r\nBootloader menu\r\n1 exit\r\n2 erase\r\n3 load\r\nchoice!:");
        fake::SetResponder([this](std::span<const uint8_t> bytes) {
            for (uint8_t b : bytes) {
                OnByte(b);
            }
        });
    }
    ~HyperBox() { fake::SetResponder({}); }
    HyperBox(const HyperBox&) = delete;
    HyperBox& operator=(const HyperBox&) = delete;

    // What the box says to the n-th blank (1 = the first); nullptr: nothing.
    std::function<const char*(int)> answerBlank = [](int) { return "hyperboot\n"; };
    // What the box says while the file is coming (after the given number of bytes).
    size_t padReplyAfter = 0;
    std::string padReply;

    Phase phase = Phase::Menu;
    std::string menuAnswers;
    uint32_t entryAt = 0;
    uint32_t entryBaud = 0;
    std::vector<uint8_t> padGot;
    std::vector<uint32_t> blankTimes;
    uint32_t blankBaud = 0;
    int typeByte = -1;
    std::vector<uint8_t> imageGot;
    std::vector<uint8_t> extra;

  private:
    void OnByte(uint8_t b) {
        switch (phase) {
            case Phase::Menu:
                menuAnswers += static_cast<char>(b);
                entryAt = fake::Now();
                entryBaud = fake::Port().baudRate;
                if (std::string(1, static_cast<char>(b)) != entry_) {
                    phase = Phase::Done;
                } else if (confirm_) {
                    fake::BoxSends("\r\nErase flash now?");
                    phase = Phase::Confirm;
                } else {
                    fake::BoxSends("\r\nSend file:");
                    phase = Phase::Pad;
                }
                break;
            case Phase::Confirm:
                menuAnswers += static_cast<char>(b);
                fake::BoxSends("\r\nerased\r\nSend file:");
                phase = Phase::Pad;
                break;
            case Phase::Pad:
                padGot.push_back(b);
                if (!padReply.empty() && padGot.size() == padReplyAfter) {
                    fake::BoxSends(padReply);
                }
                if (padGot.size() == padStream_.size()) {
                    // The box needs a moment to store the hyper bootloader.
                    fake::BoxSends("\r\nfinished!\r\n", 200);
                    phase = Phase::Blanks;
                }
                break;
            case Phase::Blanks:
                if (b != ' ') {
                    extra.push_back(b);
                    phase = Phase::Done;
                    break;
                }
                blankTimes.push_back(fake::Now());
                blankBaud = fake::Port().baudRate;
                if (const char* answer = answerBlank(static_cast<int>(blankTimes.size()))) {
                    fake::BoxSends(answer, 5);
                    if (std::string(answer).find("hyperboot\n") != std::string::npos) {
                        phase = Phase::Type;
                    }
                }
                break;
            case Phase::Type:
                typeByte = b;
                phase = Phase::Image;
                break;
            case Phase::Image:
                imageGot.push_back(b);
                if (imageGot.size() == imageStream_.size()) {
                    fake::BoxSends("\r\nfinished.\n", 300);
                    phase = Phase::Done;
                }
                break;
            case Phase::Done:
                extra.push_back(b);
                break;
        }
    }

    std::string entry_;
    bool confirm_;
    std::vector<uint8_t> padStream_;
    std::vector<uint8_t> imageStream_;
};

using Procedure = int (*)(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                          int);

// One member of the family and everything that sets it apart.
struct FamilyCase {
    const char* name;
    Procedure procedure;
    std::string entry;
    bool confirm;
    bool tagged;
    bool encodedPad;
    uint8_t hyperType;
    bool switchesBaudInMenu;
    uint32_t entryDelayMs;   // from "choice!:" to the menu entry
    std::string outputHead;  // standard output up to the transfer of hyper.pad
};

std::vector<FamilyCase> Family() {
    return {
        {"loader14", DownloadLoader14, "2", true, false, false, 0, false, 0,
         Line(19) + Line(10) + Line(20)},
        {"loader15", DownloadLoader15, "2", false, false, false, 0, true, 900, Line(20)},
        {"loader16", DownloadLoader16, "3", false, false, true, 0, true, 800, Line(20)},
        {"loader17", DownloadLoader17, "3", false, true, true, 1, true, 800, Line(20)},
    };
}

class HyperTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        dir_ = test::TempDir();
        cwd_ = std::make_unique<test::ScopedCurrentDir>(dir_);
        link_ = OpenSerialLink(1, 38400, 0, 0, 0);
        image_ = test::MakePad(test::RandomBytes(25000, 3), 5, 0, 0x00010006);
        imagePath_ = dir_ + "/image.pad";
        ASSERT_TRUE(test::WriteFileBytes(imagePath_, image_));
    }
    void TearDown() override { cwd_.reset(); }

    HyperBox MakeBox(const FamilyCase& c) {
        const auto pad = HyperPadFile(c.tagged);
        return HyperBox(c.entry, c.confirm, c.encodedPad ? Encode(pad) : pad, Encode(image_));
    }
    int Run(Procedure procedure, int quitRequest = 0) {
        start_ = fake::Now();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result =
            procedure(link_, imagePath_.c_str(), static_cast<uint32_t>(image_.size()), 0x00010006,
                      quitRequest, 0, 0, 115200, 0, 0);
        out_ = StripProgress(::testing::internal::GetCapturedStdout());
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }
    bool HyperPadExists() const {
        struct stat info {};
        return stat((dir_ + "/hyper.pad").c_str(), &info) == 0;
    }

    std::string dir_;
    std::unique_ptr<test::ScopedCurrentDir> cwd_;
    SerialLink link_ = InvalidLink;
    std::vector<uint8_t> image_;
    std::string imagePath_;
    uint32_t start_ = 0;
    std::string out_;
    std::string err_;
};

class FamilyMembers : public HyperTest, public ::testing::WithParamInterface<FamilyCase> {};

TEST_P(FamilyMembers, LoadTheHyperBootloaderAndThenTheImage) {
    const FamilyCase& c = GetParam();
    HyperBox box = MakeBox(c);
    ASSERT_EQ(Run(c.procedure), 0) << err_;

    EXPECT_EQ(box.menuAnswers, c.confirm ? c.entry + "y" : c.entry);
    EXPECT_EQ(box.entryAt - start_, c.entryDelayMs);
    EXPECT_EQ(box.entryBaud, c.switchesBaudInMenu ? 115200u : 38400u);
    // hyper.pad: tag and encoding of this member, byte for byte.
    const auto pad = HyperPadFile(c.tagged);
    EXPECT_EQ(box.padGot, c.encodedPad ? Encode(pad) : pad);
    // The hyper bootloader runs at 115200 baud and learns its type from the byte after the
    // answer; the image always goes out encoded.
    ASSERT_EQ(box.blankTimes.size(), 1u);
    EXPECT_EQ(box.blankBaud, 115200u);
    EXPECT_EQ(box.typeByte, c.hyperType);
    EXPECT_EQ(box.imageGot, Encode(image_));
    EXPECT_TRUE(box.extra.empty());
    EXPECT_EQ(fake::Port().baudHistory, (std::vector<uint32_t>{38400, 115200}));

    EXPECT_EQ(out_, c.outputHead + Line(10) + Line(12) + Line(10) + MessageByNumber(11) + Line(10));
    // A build with the stand-in says so before it sends it.
    EXPECT_EQ(err_, StandInLine());
    EXPECT_FALSE(HyperPadExists());
    EXPECT_TRUE(fake::Port().open);
}

TEST_P(FamilyMembers, UnwritableHyperPadLeavesTheMenuAndFails) {
    const FamilyCase& c = GetParam();
    ASSERT_EQ(mkdir((dir_ + "/hyper.pad").c_str(), 0755), 0);  // a directory cannot be replaced
    HyperBox box = MakeBox(c);
    ASSERT_EQ(Run(c.procedure), 1);

    EXPECT_EQ(box.menuAnswers, "1");
    // Every member reports it, then names the file and the system's reason.
    EXPECT_EQ(err_, Line(24) + "hyper.pad: " + std::strerror(EISDIR) + "\n");
    EXPECT_FALSE(fake::Port().open);
    EXPECT_EQ(fake::Port().baudHistory.back(), c.switchesBaudInMenu ? 115200u : 38400u);
}

TEST_P(FamilyMembers, QuitRequestLeavesTheMenuAndSucceeds) {
    const FamilyCase& c = GetParam();
    HyperBox box = MakeBox(c);
    ASSERT_EQ(Run(c.procedure, 1), 0);
    EXPECT_EQ(box.menuAnswers, "1");
    EXPECT_EQ(out_, "");
    EXPECT_EQ(err_, "");
    EXPECT_FALSE(fake::Port().open);
}

INSTANTIATE_TEST_SUITE_P(Loaders, FamilyMembers, ::testing::ValuesIn(Family()),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(HyperTest, SilentHyperBootloaderGetsABlankEvery500Ms) {
    HyperBox box = MakeBox(Family()[2]);
    box.answerBlank = [](int n) { return n <= 6 ? nullptr : "hyperboot\n"; };
    ASSERT_EQ(Run(DownloadLoader16), 0) << err_;

    ASSERT_EQ(box.blankTimes.size(), 7u);
    for (size_t i = 1; i < box.blankTimes.size(); ++i) {
        const uint32_t gap = box.blankTimes[i] - box.blankTimes[i - 1];
        EXPECT_GE(gap, 500u) << i;
        EXPECT_LE(gap, 510u) << i;
    }
    EXPECT_EQ(box.typeByte, 0);
    EXPECT_EQ(box.imageGot, Encode(image_));
}

TEST_F(HyperTest, AnswerWithoutItsLineFeedIsNotTaken) {
    HyperBox box = MakeBox(Family()[3]);
    box.answerBlank = [](int n) { return n == 1 ? "hyperboot" : "\r\nhyperboot\n"; };
    ASSERT_EQ(Run(DownloadLoader17), 0) << err_;
    EXPECT_EQ(box.blankTimes.size(), 2u);
    EXPECT_EQ(box.typeByte, 1);
}

TEST_F(HyperTest, ErrorTextInsteadOfTheWakeUpAnswerFailsWithMessage13) {
    HyperBox box = MakeBox(Family()[2]);
    box.answerBlank = [](int n) { return n < 3 ? nullptr : "ERROR: no memory\n"; };
    ASSERT_EQ(Run(DownloadLoader16), 1);
    EXPECT_EQ(box.blankTimes.size(), 3u);
    EXPECT_EQ(err_, StandInLine() + MessageByNumber(13) + " 536870919\n" +
                        FailureHintLine(ErrorBoxErrorText));
    EXPECT_FALSE(fake::Port().open);
    EXPECT_EQ(box.typeByte, -1);
    EXPECT_FALSE(HyperPadExists());  // the box had taken it
}

TEST_F(HyperTest, FailureBeforeTheBoxHasTheFileLeavesHyperPad) {
    fake::BoxSends("\r\nBootloader menu\r\nchoice!:");
    fake::SetResponder([](std::span<const uint8_t>) { fake::BoxSends("\r\nERROR: erase\n"); });
    ASSERT_EQ(Run(DownloadLoader15), 1);
    fake::SetResponder({});
    EXPECT_EQ(fake::WrittenText(), "2");
    EXPECT_EQ(err_, std::string(MessageByNumber(13)) + " 536870919\n" +
                        FailureHintLine(ErrorBoxErrorText));
    EXPECT_FALSE(fake::Port().open);
    ASSERT_TRUE(HyperPadExists());
    EXPECT_EQ(test::ReadFileBytes(dir_ + "/hyper.pad"), HyperPadFile(false));
}

TEST_F(HyperTest, FlashReportDuringHyperPadIsATransferFailure) {
    HyperBox box = MakeBox(Family()[1]);
    box.padReplyAfter = 100;
    box.padReply = "U";  // a lone "F" could still begin the flash text
    ASSERT_EQ(Run(DownloadLoader15), 1);
    EXPECT_EQ(err_, StandInLine() + Line(16) + "\n" + FailureHintLine(ErrorBoxFlashReport));
    EXPECT_FALSE(fake::Port().open);
    EXPECT_TRUE(box.blankTimes.empty());
    EXPECT_TRUE(HyperPadExists());
}

TEST_F(HyperTest, MissingImageFailsAfterTheWakeUp) {
    HyperBox box = MakeBox(Family()[2]);
    imagePath_ = dir_ + "/gone.pad";
    ASSERT_EQ(Run(DownloadLoader16), 1);
    EXPECT_EQ(box.typeByte, 0);
    EXPECT_TRUE(box.imageGot.empty());
    // The file is not there.
    EXPECT_EQ(err_, StandInLine() + MessageByNumber(18) + " 2\n\n" + FailureHintLine(ENOENT));
    EXPECT_FALSE(fake::Port().open);
}

TEST_F(HyperTest, BaudChangeFailureClosesThePortSilently) {
    HyperBox box = MakeBox(Family()[2]);
    fake::FailBaudChanges(1);
    ASSERT_EQ(Run(DownloadLoader16), 1);
    EXPECT_EQ(fake::WrittenText(), "");
    EXPECT_EQ(err_, "");
    EXPECT_FALSE(fake::Port().open);
}

}  // namespace
