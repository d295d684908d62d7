// The block transfer against a scripted box on the virtual clock: the reply scan, block sizes,
// lead-in records, short writes, the silence limit, the progress line and the failure report.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/settings.h"
#include "platform/platform.h"
#include "protocols/block_transfer.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/pad_builder.h"
#include "tests/support/reference_encoder.h"

namespace {

const std::string FlashText = "Flash's manufacturer and/or device ids dont match!";
const std::string Backspaces(27, '\b');

std::string ProgressText(std::initializer_list<int> percents) {
    std::string text;
    char line[64];
    for (int p : percents) {
        std::snprintf(line, sizeof line, "%4i %% transfered       ", p);
        text += line + Backspaces;
    }
    return text;
}

// ---- Reply scan ------------------------------------------------------------------------------

struct ScanCase {
    const char* name;
    std::vector<std::string> reads;  // what each reply read delivers
    uint32_t failure;                // expected result of the last read (earlier ones pass)
    bool watchStop = true;
};

void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.name;
}

class ReplyScanTest : public ::testing::TestWithParam<ScanCase> {};

TEST_P(ReplyScanTest, Reads) {
    const ScanCase& c = GetParam();
    ReplyScan scan;
    scan.watchStop = c.watchStop;
    for (size_t i = 0; i < c.reads.size(); ++i) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(c.reads[i].data());
        const uint32_t result = ScanReply(scan, std::span(bytes, c.reads[i].size()));
        if (i + 1 < c.reads.size()) {
            ASSERT_EQ(result, 0u) << "read " << i << " must not end the transfer";
        } else {
            EXPECT_EQ(result, c.failure);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyScanTest,
    ::testing::Values(
        ScanCase{"error_text", {"ERROR:"}, ErrorBoxErrorText},
        ScanCase{"error_text_after_other_bytes", {"xxERROR: bad"}, ErrorBoxErrorText},
        ScanCase{"error_text_split", {"ER", "RO", "R", ":"}, ErrorBoxErrorText},
        // A zero byte from the box does not hide what follows it in the same read.
        ScanCase{"error_text_after_zero_byte", {std::string("\0ERROR:", 7)}, ErrorBoxErrorText},
        // The second E breaks the match and is not tried as a new beginning.
        ScanCase{"doubled_e_hides_error_text", {"EERROR:"}, 0},
        ScanCase{"doubled_e_split", {"E", "ERROR:"}, 0},
        ScanCase{"flash_text", {FlashText}, ErrorFlashIdMismatch},
        ScanCase{"flash_text_split",
                 {"Flash's manu", "facturer and/or dev", "ice ids dont match!"},
                 ErrorFlashIdMismatch},
        ScanCase{"single_f_ignored", {"F", "x", "."}, 0},
        ScanCase{"f_then_other_text", {"Flash"}, 0},
        // A second F cannot continue the flash text, so it counts as the status character.
        ScanCase{"f_twice", {"FF"}, ErrorBoxFlashReport},
        ScanCase{"question_mark", {".?"}, ErrorBoxFlashReport},
        ScanCase{"u", {"U"}, ErrorBoxFlashReport}, ScanCase{"stop", {"ST", "OP"}, ErrorBoxStop},
        ScanCase{"stop_not_watched", {"STOP"}, 0, false},
        ScanCase{
            "error_text_still_watched_without_stop", {"STOP ERROR:"}, ErrorBoxErrorText, false},
        ScanCase{"six_colons", {"::::::"}, ErrorBoxFlashReport},
        ScanCase{"six_semicolons_and_colons_mixed", {":;:", ";:;"}, ErrorBoxFlashReport},
        ScanCase{"colons_across_reads", {":::", "::", ":"}, ErrorBoxFlashReport},
        ScanCase{"five_colons_dot_five_semicolons", {":::::", ".", ";;;;;"}, 0},
        ScanCase{"e_resets", {":::::e:::::"}, 0}, ScanCase{"p_resets", {":::::p:::::"}, 0},
        ScanCase{"other_characters_do_not_reset", {":::x:::"}, ErrorBoxFlashReport},
        // The colon that completes "ERROR:" belongs to the text, not to the counter.
        ScanCase{"colon_of_error_text", {":::::ERROR:"}, ErrorBoxErrorText},
        ScanCase{"colon_after_broken_text_counts", {":::::ERR:"}, ErrorBoxFlashReport}),
    [](const ::testing::TestParamInfo<ScanCase>& caseInfo) {
        return std::string(caseInfo.param.name);
    });

// ---- SendImageBlocks -------------------------------------------------------------------------

struct TimedWrite {
    uint32_t size;
    uint32_t at;
};

class SendImageBlocksTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        dir_ = test::TempDir();
        writes_.clear();
        fake::SetResponder([this](std::span<const uint8_t> bytes) {
            writes_.push_back({static_cast<uint32_t>(bytes.size()), fake::Now()});
            if (onWrite_) {
                onWrite_(writes_.size());
            }
        });
    }

    std::string WriteImage(const std::vector<uint8_t>& bytes) {
        std::string path = dir_ + "/image.bin";
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }

    int Send(const std::string& path, uint32_t silenceLimitMs = 120000,
             Encoding encoding = Encoding::Plain, LeadIn leadIn = LeadIn::None) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result =
            SendImageBlocks(link_, path.c_str(), silenceLimitMs, Progress::Shown, encoding, leadIn);
        error_ = GetLastErrorValue();
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }

    const SerialLink link_ = 42;
    std::string dir_;
    std::string out_;
    std::string err_;
    uint32_t error_ = 0;
    std::vector<TimedWrite> writes_;
    std::function<void(size_t)> onWrite_;  // called with the number of writes so far
};

TEST_F(SendImageBlocksTest, BlockSizesAndContent) {
    struct Case {
        const char* name;
        size_t size;
        std::vector<uint32_t> calls;
    };
    const Case cases[] = {
        {"empty file", 0, {}},
        {"one byte", 1, {1}},
        {"one block", 10240, {10240}},
        {"one block and one byte", 10241, {10240, 1}},
        {"three blocks", 25000, {10240, 10240, 4520}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::ClearWritten();
        const auto bytes = test::RandomBytes(c.size, 3);
        EXPECT_EQ(Send(WriteImage(bytes)), 1);
        EXPECT_EQ(fake::WriteCalls(), c.calls);
        EXPECT_EQ(fake::Written(), bytes);
        EXPECT_EQ(fake::Port().closes, 0) << "the port stays open";
    }
}

TEST_F(SendImageBlocksTest, EncodedFileGoesOutAsThePrefixCodedStream) {
    std::vector<uint8_t> bytes = test::RandomBytes(30000, 5);
    std::fill(bytes.begin() + 1000, bytes.begin() + 20000, 0x00);
    const std::vector<uint8_t> expected = ReferenceEncode(bytes);
    ASSERT_EQ(Send(WriteImage(bytes), 120000, Encoding::PrefixCoded), 1);
    EXPECT_EQ(fake::Written(), expected);
    ASSERT_FALSE(fake::WriteCalls().empty());
    for (size_t i = 0; i + 1 < fake::WriteCalls().size(); ++i) {
        EXPECT_EQ(fake::WriteCalls()[i], 10240u);
    }
    // The percentage counts file bytes, not encoded ones.
    EXPECT_EQ(out_.substr(out_.size() - ProgressText({100}).size()), ProgressText({100}));

    // A transfer that failed half-way leaves no pending bits for the next file.
    fake::ClearWritten();
    onWrite_ = [](size_t n) {
        if (n == 1) {
            fake::BoxSends("?");
        }
    };
    writes_.clear();
    ASSERT_EQ(Send(WriteImage(std::vector<uint8_t>(30001, 0x01)), 120000, Encoding::PrefixCoded),
              0);
    onWrite_ = nullptr;
    fake::ClearWritten();
    ASSERT_EQ(Send(WriteImage({0x00}), 120000, Encoding::PrefixCoded), 1);
    EXPECT_EQ(fake::Written(), std::vector<uint8_t>{0x3F});
}

TEST_F(SendImageBlocksTest, LeadInRecords) {
    std::vector<uint8_t> record = {0x11, 0x05, 'a', 'b', 'c', 'd', 'e'};
    std::vector<uint8_t> withRecord = record;
    const auto image = test::RandomBytes(20000, 9);
    withRecord.insert(withRecord.end(), image.begin(), image.end());
    std::vector<uint8_t> withoutRecord = image;
    withoutRecord[0] = 0x12;

    struct Case {
        const char* name;
        const std::vector<uint8_t>* file;
        uint32_t writeLimit;
        std::vector<uint32_t> calls;
        size_t pauseBefore;  // index of the first write after the 1000 ms pause; 0 = none
    };
    const Case cases[] = {
        {"record of 5 bytes", &withRecord, 0, {2, 5, 10240, 9760}, 2},
        {"record cut by the write limit: pause after its first write",
         &withRecord,
         3,
         {2, 3, 2, 3, 3},
         2},
        {"no record", &withoutRecord, 0, {2, 10240, 9758}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        SetUp();
        fake::LimitWrites(c.writeLimit);
        // Lead-in mode switches the encoding off.
        ASSERT_EQ(Send(WriteImage(*c.file), 120000, Encoding::PrefixCoded, LeadIn::Expected), 1);
        EXPECT_EQ(fake::Written(), *c.file);
        ASSERT_GE(writes_.size(), c.calls.size());
        for (size_t i = 0; i < c.calls.size(); ++i) {
            EXPECT_EQ(writes_[i].size, c.calls[i]) << "write " << i;
        }
        for (size_t i = 1; i < writes_.size(); ++i) {
            const uint32_t gap = writes_[i].at - writes_[i - 1].at;
            EXPECT_EQ(gap, i == c.pauseBefore ? 1000u : 0u) << "before write " << i;
        }
    }
}

TEST_F(SendImageBlocksTest, EmptyLeadInRecordDoesNotDropTheImage) {
    std::vector<uint8_t> file = {0x11, 0x00};
    const auto image = test::RandomBytes(15000, 4);
    file.insert(file.end(), image.begin(), image.end());
    ASSERT_EQ(Send(WriteImage(file), 120000, Encoding::Plain, LeadIn::Expected), 1);
    EXPECT_EQ(fake::Written(), file);
    EXPECT_EQ(fake::WriteCalls(), (std::vector<uint32_t>{2, 10240, 4760}));
}

TEST_F(SendImageBlocksTest, ShortWritesAreContinued) {
    const auto bytes = test::RandomBytes(25000, 11);
    fake::LimitWrites(4000, 5);
    ASSERT_EQ(Send(WriteImage(bytes)), 1);
    EXPECT_EQ(fake::Written(), bytes);
    EXPECT_EQ(fake::WriteCalls(),
              (std::vector<uint32_t>{4000, 4000, 2240, 4000, 4000, 2240, 4000, 520}));

    // Writes that take nothing at all with the port's write limit are no failure either.
    fake::Reset();
    SetUp();
    fake::FailWrites(ErrorCounterTimeout, 3);
    ASSERT_EQ(Send(WriteImage(bytes)), 1);
    EXPECT_EQ(fake::Written(), bytes);
}

TEST_F(SendImageBlocksTest, FailuresOfFileAndPort) {
    EXPECT_EQ(Send(dir_ + "/missing.pad"), 0);
    EXPECT_EQ(error_, 2u) << "the platform's reason (no such file)";
    EXPECT_TRUE(fake::Written().empty());

    const std::string path = WriteImage(test::RandomBytes(30000, 1));
    fake::FailWrites(5);
    EXPECT_EQ(Send(path), 0);
    EXPECT_EQ(error_, 5u);

    fake::ClearWritten();
    fake::FailReads(ErrorOperationAborted);
    EXPECT_EQ(Send(path), 0);
    EXPECT_EQ(error_, ErrorOperationAborted);
    EXPECT_EQ(fake::WriteCalls().size(), 1u);
    EXPECT_EQ(fake::Port().closes, 0) << "the sender never closes the port";
    EXPECT_EQ(out_, "") << "the first block's percentage is not printed after a failed read";
}

TEST_F(SendImageBlocksTest, BoxRepliesEndTheTransfer) {
    struct Case {
        const char* name;
        std::vector<std::string> replies;  // read right after write 1, 2, ...
        uint32_t failure;                  // 0: the transfer succeeds
        size_t writes;                     // write calls made
    };
    const Case cases[] = {
        {"question mark", {"?"}, ErrorBoxFlashReport, 1},
        {"flash text split over blocks",
         {"Flash's manufacturer ", "and/or device ids dont match!"},
         ErrorFlashIdMismatch,
         2},
        {"error text", {"ERR", "OR: checksum"}, ErrorBoxErrorText, 2},
        {"stop", {"STOP"}, ErrorBoxStop, 1},
        {"colons carried across blocks", {"::e:", ":::", ":::"}, ErrorBoxFlashReport, 3},
        {"colons reset between blocks", {":::", ".", ":::", "p:"}, 0, 5},
    };
    const auto bytes = test::RandomBytes(45000, 12);  // five blocks
    const std::string path = WriteImage(bytes);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        SetUp();
        onWrite_ = [&c](size_t n) {
            if (n <= c.replies.size()) {
                fake::BoxSends(c.replies[n - 1]);
            }
        };
        const int result = Send(path);
        EXPECT_EQ(result, c.failure == 0 ? 1 : 0);
        if (c.failure != 0) {
            EXPECT_EQ(error_, c.failure);
        }
        EXPECT_EQ(fake::WriteCalls().size(), c.writes);
        EXPECT_EQ(err_, "") << "failure texts come from the callers";
    }
}

TEST_F(SendImageBlocksTest, SilenceLimit) {
    const std::string path = WriteImage(test::RandomBytes(12000, 2));

    // The port takes nothing and the box says nothing: the limit passes after 120,000 ms, at
    // the first moment when more than the limit has gone by.
    fake::FailWrites(ErrorCounterTimeout, 1000000);
    EXPECT_EQ(Send(path), 0);
    EXPECT_EQ(error_, ErrorTimeout);
    EXPECT_EQ(fake::Now(), 120001u);
    EXPECT_TRUE(fake::Written().empty());

    // Exactly the limit is not yet too long: a byte from the box 1 ms later restarts the
    // silence, which then lasts its full length again.
    fake::Reset();
    SetUp();
    fake::FailWrites(ErrorCounterTimeout, 1000000);
    fake::BoxSendsAt(120001, ".");
    EXPECT_EQ(Send(path), 0);
    EXPECT_EQ(error_, ErrorTimeout);
    EXPECT_EQ(fake::Now(), 240002u);

    // Replies keep the transfer alive while the port takes nothing.
    fake::Reset();
    SetUp();
    fake::FailWrites(ErrorCounterTimeout, 1000000);
    for (uint32_t at = 60000; at <= 600000; at += 60000) {
        fake::BoxSendsAt(at, "e");
    }
    EXPECT_EQ(Send(path), 0);
    EXPECT_EQ(fake::Now(), 720001u);

    // A silence of the full limit within the second block counts from that block's start.
    fake::Reset();
    SetUp();
    onWrite_ = [](size_t n) {
        if (n == 1) {
            fake::FailWrites(ErrorCounterTimeout, 1000000);
        }
    };
    EXPECT_EQ(Send(path), 0);
    EXPECT_EQ(fake::Now(), 120001u);
    EXPECT_EQ(fake::WriteCalls(), std::vector<uint32_t>{10240});
}

TEST_F(SendImageBlocksTest, NoSilenceLimitWithZero) {
    const auto bytes = test::RandomBytes(12000, 2);
    fake::FailWrites(ErrorCounterTimeout, 20000);
    EXPECT_EQ(Send(WriteImage(bytes), 0), 1);
    EXPECT_GT(fake::Now(), 240000u) << "the port took nothing for longer than any limit";
    EXPECT_EQ(fake::Written(), bytes);
}

TEST_F(SendImageBlocksTest, ProgressLine) {
    struct Case {
        const char* name;
        size_t size;
        uint32_t writeLimit;
        std::string expected;
    };
    const Case cases[] = {
        {"one block shows 100 at once", 5000, 0, ProgressText({100})},
        {"three equal blocks", 30720, 0, ProgressText({33, 66, 100})},
        {"short writes do not repeat a value", 30720, 1000, ProgressText({33, 66, 100})},
        {"empty file prints nothing", 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        SetUp();
        fake::LimitWrites(c.writeLimit);
        ASSERT_EQ(Send(WriteImage(test::RandomBytes(c.size, 8))), 1);
        EXPECT_EQ(out_, c.expected);
    }

    // Many blocks: the printed values rise strictly and end with 100.
    fake::Reset();
    SetUp();
    ASSERT_EQ(Send(WriteImage(test::RandomBytes(1000000, 8))), 1);
    int last = 0;
    int count = 0;
    for (size_t pos = 0; pos < out_.size();) {
        const size_t end = out_.find(Backspaces, pos);
        ASSERT_NE(end, std::string::npos);
        const int value = std::stoi(out_.substr(pos, 4));
        EXPECT_GT(value, last);
        last = value;
        ++count;
        pos = end + Backspaces.size();
    }
    EXPECT_EQ(last, 100);
    EXPECT_EQ(count, 98) << "one line per block of 98 blocks, each a new value";
}

// ---- ReportTransferFailure -------------------------------------------------------------------

TEST(ReportTransferFailureTest, MessagesByValue) {
    struct Case {
        uint32_t value;
        const char* expected;
    };
    const Case cases[] = {
        {ErrorTimeout, "Fatal error, settop box does not respond. Abort!\n\n"},
        {ErrorBoxFlashReport, "Error(s) during erasing, programming or transfering. Abort!\n\n"},
        {ErrorFlashIdMismatch, "Flash's manufacturer and/or device ids dont match!\n"},
        {ErrorBoxErrorText, "Error \n"},
        {ErrorBoxStop, "Fatal error  536870920\n\n"},
        {ErrorCompressionFailed, "Fatal error  536870915\n\n"},
        {5, "Fatal error  5\n\n"},
    };
    language = 0;
    for (const Case& c : cases) {
        fake::Reset();
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        ReportTransferFailure(42, c.value);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        // The specified line, then the line that says what the value means.
        EXPECT_EQ(err, c.expected + FailureHintLine(c.value)) << "value " << c.value;
        EXPECT_EQ(out, "");
        EXPECT_EQ(fake::Port().closes, 1);
    }
}

}  // namespace
