// The 4.11 to 4.13 download on the virtual clock: what goes to the box in which order (menu
// entry, time stamp, announcement, image, byte sum), the pauses, STOP and the failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/settings.h"
#include "protocols/loader411.h"
#include "protocols/procedures.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/message_by_number.h"
#include "tests/support/pad_builder.h"

namespace {

std::string Line(int message) {
    return std::string(MessageByNumber(message)) + "\n";
}

std::string StripProgress(const std::string& text) {
    static const std::regex progress(" *[0-9]+ % transfered {7}\b{27}");
    return std::regex_replace(text, progress, "");
}

std::array<uint8_t, 5> StampAt(std::time_t when) {
    std::tm local{};
    localtime_r(&when, &local);
    std::array<uint8_t, 5> stamp{};
    BuildBoxTimeStamp(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                      local.tm_min, local.tm_sec, stamp.data());
    return stamp;
}

std::vector<uint8_t> BigEndian(uint32_t value) {
    return {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

// Plays the loader: its menu, "file:" after "2", then it takes the stream of records and
// answers "finished!" once the byte sum is in.
class Loader411Box {
  public:
    explicit Loader411Box(size_t fileSize) : expected_(5 + 9 + fileSize + 4) {
        fake::BoxSends("\r\nLoader 4.12\r\n 1 Leave\r\n 2 Download\r\nYour choice!:");
        fake::SetResponder([this](std::span<const uint8_t> bytes) { OnWrite(bytes); });
    }
    ~Loader411Box() { fake::SetResponder({}); }
    Loader411Box(const Loader411Box&) = delete;
    Loader411Box& operator=(const Loader411Box&) = delete;

    // With a value: "STOP" once this many image bytes have come.
    size_t stopAfter = 0;
    std::string imageReply;  // sent once the first image bytes have come

    std::string menuAnswer;
    uint32_t fileAt = 0;
    std::vector<uint8_t> stream;                      // everything after the menu answer
    std::vector<std::pair<uint32_t, size_t>> writes;  // (time, size) of each write after it

  private:
    void OnWrite(std::span<const uint8_t> bytes) {
        if (menuAnswer.empty()) {
            menuAnswer.assign(bytes.begin(), bytes.end());
            if (menuAnswer == "2") {
                fake::BoxSends("\r\nSend file:", 20);
                fileAt = fake::Now() + 20;
            }
            return;
        }
        writes.emplace_back(fake::Now(), bytes.size());
        const size_t before = stream.size();
        stream.insert(stream.end(), bytes.begin(), bytes.end());
        const size_t imageBytes = stream.size() > 14 ? stream.size() - 14 : 0;
        if (stopAfter != 0 && imageBytes >= stopAfter && before < 14 + stopAfter) {
            fake::BoxSends("STOP");
        }
        if (!imageReply.empty() && imageBytes > 0 && before <= 14) {
            fake::BoxSends(imageReply);
        }
        if (stream.size() == expected_) {
            fake::BoxSends("\r\nProgramming\r\nfinished!\r\n", 500);
        }
    }

    size_t expected_;
};

class Loader411Test : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        dir_ = test::TempDir();
        link_ = OpenSerialLink(1, 115200, 1, 0, 0);
    }
    void UseFile(const std::vector<uint8_t>& bytes) {
        file_ = bytes;
        path_ = dir_ + "/image.pad";
        ASSERT_TRUE(test::WriteFileBytes(path_, file_));
    }
    int Run(uint32_t imageLength, uint32_t softwareId, int quitRequest = 0) {
        start_ = fake::Now();
        before_ = std::time(nullptr);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result = DownloadLoader411(link_, path_.c_str(), imageLength, softwareId,
                                             quitRequest, 0, 0, 115200, 0, 0);
        out_ = StripProgress(::testing::internal::GetCapturedStdout());
        err_ = ::testing::internal::GetCapturedStderr();
        after_ = std::time(nullptr);
        return result;
    }
    // The time stamp must be the local time of the moment it was sent.
    void ExpectLocalTimeStamp(const std::vector<uint8_t>& stamp) {
        bool found = false;
        for (std::time_t t = before_; t <= after_ && !found; ++t) {
            const auto expected = StampAt(t);
            found = std::equal(expected.begin(), expected.end(), stamp.begin());
        }
        EXPECT_TRUE(found) << "time stamp is not the local time";
    }

    std::string dir_;
    SerialLink link_ = InvalidLink;
    std::vector<uint8_t> file_;
    std::string path_;
    uint32_t start_ = 0;
    std::time_t before_ = 0;
    std::time_t after_ = 0;
    std::string out_;
    std::string err_;
};

TEST_F(Loader411Test, PadImageGoesOutWithTimeStampAnnouncementAndByteSum) {
    const auto image = test::MakePad(test::RandomBytes(30000, 1), 5, 7, 0x0004000C);
    UseFile(image);
    const auto length = static_cast<uint32_t>(image.size() - 5);  // N + 8
    Loader411Box box(image.size());
    ASSERT_EQ(Run(length, 0x0004000C), 0) << err_;

    EXPECT_EQ(box.menuAnswer, "2");
    ASSERT_EQ(box.stream.size(), 5 + 9 + image.size() + 4);
    ExpectLocalTimeStamp({box.stream.begin(), box.stream.begin() + 5});
    std::vector<uint8_t> announcement = BigEndian(length);
    announcement.push_back(0x07);
    for (uint8_t b : BigEndian(0x0004000C)) {
        announcement.push_back(b);
    }
    EXPECT_EQ(std::vector<uint8_t>(box.stream.begin() + 5, box.stream.begin() + 14), announcement);
    EXPECT_EQ(std::vector<uint8_t>(box.stream.begin() + 14, box.stream.end() - 4), image);
    // The sum covers the first `length` bytes: the last five bytes of the file are left out.
    const uint32_t sum = test::ByteSum({image.begin(), image.begin() + length});
    EXPECT_EQ(std::vector<uint8_t>(box.stream.end() - 4, box.stream.end()), BigEndian(sum));

    EXPECT_EQ(out_, "Choice found\n" + Line(12) + Line(10) + MessageByNumber(11) + Line(10));
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(fake::Port().open);
    EXPECT_EQ(fake::PendingFromBox(), 0u);
}

TEST_F(Loader411Test, PausesBeforeTheMenuEntryAndBeforeTheTimeStamp) {
    UseFile(test::RandomBytes(100, 2));
    Loader411Box box(100);
    ASSERT_EQ(Run(100, 0x0004000C), 0) << err_;
    ASSERT_FALSE(box.writes.empty());
    // 300 ms of the speed check (the port is at 115200 already), then 500 ms.
    EXPECT_EQ(fake::Port().baudHistory, std::vector<uint32_t>{115200});
    EXPECT_EQ(box.writes.front().first - box.fileAt, 500u);
    EXPECT_EQ(box.writes.front().second, 5u);  // the time stamp alone
    EXPECT_EQ(box.writes[1].second, 9u);       // the announcement alone
}

TEST_F(Loader411Test, PortAtAnotherSpeedIsSwitchedTo115200BeforeTheAnswer) {
    fake::Reset();
    link_ = OpenSerialLink(1, 38400, 1, 0, 0);
    UseFile(test::RandomBytes(100, 2));
    Loader411Box box(100);
    uint32_t answeredAfter = 0;
    uint32_t answeredAt = 0;
    fake::SetResponder([&, start = fake::Now()](std::span<const uint8_t>) {
        answeredAfter = fake::Now() - start;
        answeredAt = fake::Port().baudRate;
        fake::SetResponder({});
    });
    EXPECT_EQ(Run(100, 0x0004000C, 1), 0);
    EXPECT_EQ(fake::WrittenText(), "1");
    // 300 + 500 ms for the change; the quit answer follows at once.
    EXPECT_EQ(answeredAfter, 800u);
    EXPECT_EQ(answeredAt, 115200u);
    EXPECT_EQ(fake::Port().baudHistory, (std::vector<uint32_t>{38400, 115200}));
}

TEST_F(Loader411Test, AnnouncementBytesAndSumOfTheFirstImageLengthBytes) {
    // A raw file longer than the length it is announced with: every file byte is sent, the
    // sum takes only the announced ones.
    const uint32_t length = 0x00012345;
    UseFile(test::RandomBytes(length + 7, 3));
    Loader411Box box(file_.size());
    ASSERT_EQ(Run(length, 0x0004000C), 0) << err_;

    const std::vector<uint8_t> announcement{0x00, 0x01, 0x23, 0x45, 0x07, 0x00, 0x04, 0x00, 0x0C};
    EXPECT_EQ(std::vector<uint8_t>(box.stream.begin() + 5, box.stream.begin() + 14), announcement);
    EXPECT_EQ(std::vector<uint8_t>(box.stream.begin() + 14, box.stream.end() - 4), file_);
    const uint32_t sum = test::ByteSum({file_.begin(), file_.begin() + length});
    EXPECT_EQ(std::vector<uint8_t>(box.stream.end() - 4, box.stream.end()), BigEndian(sum));
}

class SumLengths : public Loader411Test, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(SumLengths, SumCoversExactlyTheAnnouncedBytes) {
    const uint32_t length = GetParam();
    // 0xFF bytes make every lost or doubled byte visible in the sum.
    UseFile(std::vector<uint8_t>(length, 0xFF));
    Loader411Box box(length);
    ASSERT_EQ(Run(length, 0x0004000B), 0) << err_;
    EXPECT_EQ(std::vector<uint8_t>(box.stream.end() - 4, box.stream.end()),
              BigEndian(length * 0xFFu));
}

INSTANTIATE_TEST_SUITE_P(Lengths, SumLengths,
                         ::testing::Values(1u, 10239u, 10240u, 10241u, 20481u));

TEST_F(Loader411Test, LeadInRecordGoesOutByItselfWithAPauseBehindIt) {
    std::vector<uint8_t> file{0x11, 0x05, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    const auto rest = test::RandomBytes(15000, 4);
    file.insert(file.end(), rest.begin(), rest.end());
    UseFile(file);
    Loader411Box box(file.size());
    ASSERT_EQ(Run(static_cast<uint32_t>(file.size()), 0x0004000C), 0) << err_;

    ASSERT_GE(box.writes.size(), 6u);
    // time stamp, announcement, 0x11 0x05, the 5-byte record, then the rest in blocks
    EXPECT_EQ(box.writes[2].second, 2u);
    EXPECT_EQ(box.writes[3].second, 5u);
    EXPECT_EQ(box.writes[4].second, 10240u);
    EXPECT_GE(box.writes[4].first - box.writes[3].first, 1000u);
    EXPECT_EQ(std::vector<uint8_t>(box.stream.begin() + 14, box.stream.end() - 4), file);
}

TEST_F(Loader411Test, StopFromTheBoxEndsTheTransferAsSuccess) {
    UseFile(test::RandomBytes(40000, 5));
    Loader411Box box(40000);
    box.stopAfter = 3000;
    ASSERT_EQ(Run(40000, 0x0004000C), 0) << err_;

    // Nothing follows the transfer: no byte sum, no wait for "finished!".
    EXPECT_LT(box.stream.size(), 14u + 40000u);
    EXPECT_EQ(out_, "Choice found\n" + Line(12) + Line(10));
    EXPECT_EQ(err_, "");
    EXPECT_TRUE(fake::Port().open);
}

struct TransferFailure {
    const char* name;
    std::string reply;
    std::string error;
    uint32_t value;  // the reason behind the line
};

class TransferFailures : public Loader411Test,
                         public ::testing::WithParamInterface<TransferFailure> {};

TEST_P(TransferFailures, AreReportedAndCloseThePort) {
    UseFile(test::RandomBytes(30000, 6));
    Loader411Box box(30000);
    box.imageReply = GetParam().reply;
    ASSERT_EQ(Run(30000, 0x0004000C), 1);
    EXPECT_EQ(err_, GetParam().error + FailureHintLine(GetParam().value));
    EXPECT_FALSE(fake::Port().open);
    EXPECT_LT(box.stream.size(), 14u + 30000u + 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Replies, TransferFailures,
    ::testing::Values(TransferFailure{"flash_report", "?", Line(16) + "\n", ErrorBoxFlashReport},
                      TransferFailure{"error_text", "ERROR: bad\n", Line(15), ErrorBoxErrorText},
                      TransferFailure{"id_mismatch",
                                      "Flash's manufacturer and/or device ids dont match!",
                                      Line(14), ErrorFlashIdMismatch}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(Loader411Test, FileShorterThanItsLengthEndsAsFailureWithoutSum) {
    UseFile(test::RandomBytes(5000, 7));
    Loader411Box box(5000);
    ASSERT_EQ(Run(5100, 0x0004000C), 1);
    // The image went out, the sum could not be made.
    EXPECT_EQ(box.stream.size(), 14u + 5000u);
    EXPECT_FALSE(fake::Port().open);
}

TEST_F(Loader411Test, QuitRequestAnswersOneAndSucceeds) {
    UseFile(test::RandomBytes(10, 8));
    Loader411Box box(10);
    ASSERT_EQ(Run(10, 0x0004000C, 1), 0);
    EXPECT_EQ(box.menuAnswer, "1");
    EXPECT_EQ(out_, "Choice found\n");
    EXPECT_FALSE(fake::Port().open);
}

TEST_F(Loader411Test, ErrorTextInsteadOfTheMenuFailsWithMessage13) {
    fake::BoxSends("\r\nERROR: locked\r\n");
    UseFile(test::RandomBytes(10, 8));
    ASSERT_EQ(Run(10, 0x0004000C), 1);
    EXPECT_EQ(err_, std::string(MessageByNumber(13)) + " 536870919\n" +
                        FailureHintLine(ErrorBoxErrorText));
    EXPECT_TRUE(fake::Written().empty());
    EXPECT_FALSE(fake::Port().open);
}

TEST_F(Loader411Test, RefusedMenuEntryFailsWithMessage8) {
    UseFile(test::RandomBytes(10, 8));
    Loader411Box box(10);
    fake::FailWrites(5, 1);
    ASSERT_EQ(Run(10, 0x0004000C), 1);
    EXPECT_EQ(err_, std::string(MessageByNumber(8)) + " 5\n" + FailureHintLine(5));
    EXPECT_FALSE(fake::Port().open);
}

}  // namespace
