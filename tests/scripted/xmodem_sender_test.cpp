// The X-modem senders and the streaming download against a scripted receiver on the virtual
// clock: block numbering and contents, the box-driven repeats, progress and silence notices,
// and every failure line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "common/messages.h"
#include "common/settings.h"
#include "image/pad_image.h"
#include "platform/platform.h"
#include "protocols/procedures.h"
#include "protocols/xmodem_sender.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/message_by_number.h"
#include "tests/support/pad_builder.h"

namespace {

constexpr char Ack = 0x06;
constexpr char Nak = 0x15;
constexpr char Can = 0x18;
const std::string ClearLine = std::string(30, ' ') + "\r";

// One reply of the receiver: bytes sent back `delayMs` after a frame has arrived.
struct Reply {
    std::string bytes;
    uint32_t delayMs = 0;
};

// A frame the sender wrote: a 132-byte block or the single EOT byte, reassembled across
// short write calls, with the virtual time at which it was complete.
struct Frame {
    std::vector<uint8_t> bytes;
    uint32_t at = 0;
};

// Plays the receiving box: answers each complete frame with the next scripted reply, and with
// an ACK once the script has run out.
class Receiver {
  public:
    explicit Receiver(std::vector<Reply> script = {}) : script_(script.begin(), script.end()) {
        fake::SetResponder([this](std::span<const uint8_t> bytes) { OnWrite(bytes); });
    }
    ~Receiver() { fake::SetResponder({}); }

    std::vector<Frame> frames;
    std::function<void()> onFrame;  // called for every complete frame

  private:
    void OnWrite(std::span<const uint8_t> bytes) {
        pending_.insert(pending_.end(), bytes.begin(), bytes.end());
        for (;;) {
            if (pending_.empty()) {
                return;
            }
            const size_t size = pending_[0] == 0x01 ? 132 : 1;
            if (pending_.size() < size) {
                return;
            }
            frames.push_back({{pending_.begin(), pending_.begin() + size}, fake::Now()});
            pending_.erase(pending_.begin(), pending_.begin() + size);
            if (onFrame) {
                onFrame();
            }
            Reply reply{std::string(1, Ack), 0};
            if (!script_.empty()) {
                reply = script_.front();
                script_.pop_front();
            }
            if (!reply.bytes.empty()) {
                fake::BoxSends(reply.bytes, reply.delayMs);
            }
        }
    }

    std::deque<Reply> script_;
    std::vector<uint8_t> pending_;
};

// What the data fields must hold for a file or buffer of these bytes: a short last piece
// leaves the rest of the field as the block before left it (zeros for a single block).
std::vector<std::vector<uint8_t>> ExpectedFields(const std::vector<uint8_t>& content) {
    std::vector<std::vector<uint8_t>> fields;
    std::vector<uint8_t> field(128, 0);
    for (size_t offset = 0; offset < content.size(); offset += 128) {
        const size_t take = std::min<size_t>(128, content.size() - offset);
        std::copy_n(content.begin() + static_cast<long>(offset), take, field.begin());
        fields.push_back(field);
    }
    return fields;
}

// Checks the structure of a block and returns its data field.
std::vector<uint8_t> BlockData(const Frame& frame, uint8_t number) {
    EXPECT_EQ(frame.bytes.size(), 132u);
    if (frame.bytes.size() != 132) {
        return {};
    }
    EXPECT_EQ(frame.bytes[0], 0x01);
    EXPECT_EQ(frame.bytes[1], number);
    EXPECT_EQ(frame.bytes[2], static_cast<uint8_t>(255 - number));
    std::vector<uint8_t> data(frame.bytes.begin() + 3, frame.bytes.begin() + 131);
    uint8_t sum = 0;
    for (uint8_t b : data) {
        sum = static_cast<uint8_t>(sum + b);
    }
    EXPECT_EQ(frame.bytes[131], sum) << "checksum of block " << int(number);
    return data;
}

bool IsEot(const Frame& frame) {
    return frame.bytes.size() == 1 && frame.bytes[0] == 0x04;
}

std::string Progress(std::initializer_list<int> percents) {
    std::string text;
    char line[32];
    for (int p : percents) {
        std::snprintf(line, sizeof line, "%3d %% transmitted\r", p);
        text += line;
    }
    return text;
}

class XmodemSenderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        dir_ = test::TempDir();
    }
    std::string WriteImage(const std::vector<uint8_t>& bytes, const char* name = "image.pad") {
        std::string path = dir_ + "/" + name;
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }
    // Runs the file sender with the output captured.
    int SendFile(const std::string& path) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result = XmodemSendFile(link_, path.c_str());
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }
    int SendBuffer(uint32_t n) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result = XmodemSendBuffer(link_, n);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }

    const SerialLink link_ = 42;
    std::string dir_;
    std::string out_;
    std::string err_;
};

// ---- Block contents and numbering ------------------------------------------------------------

struct SizeCase {
    size_t size;
    std::string progress;
};

class FileSizes : public XmodemSenderTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FileSizes, EveryBlockCarriesTheFileInOrderAndTheEotEndsTheTransfer) {
    const auto content = test::RandomBytes(GetParam().size, 7);
    const std::string path = WriteImage(content);
    fake::BoxSends(std::string(1, Nak));
    Receiver box;

    ASSERT_EQ(SendFile(path), 0) << err_;

    const auto fields = ExpectedFields(content);
    ASSERT_EQ(box.frames.size(), fields.size() + 1);
    for (size_t k = 0; k < fields.size(); ++k) {
        EXPECT_EQ(BlockData(box.frames[k], static_cast<uint8_t>(k + 1)), fields[k])
            << "block " << k + 1;
    }
    EXPECT_TRUE(IsEot(box.frames.back()));
    // The ACK of the EOT is left unread: the sender does not wait for it.
    EXPECT_EQ(fake::PendingFromBox(), 1u);
    EXPECT_EQ(out_, GetParam().progress + ClearLine);
    EXPECT_EQ(err_, "");
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileSizes,
                         ::testing::Values(SizeCase{1, Progress({100})},
                                           SizeCase{128, Progress({100})},
                                           SizeCase{129, Progress({50, 100})},
                                           SizeCase{400, Progress({25, 50, 75, 100})},
                                           SizeCase{383, Progress({33, 66, 100})}));

TEST_F(XmodemSenderTest, SecondBlockOfA129ByteFileKeepsBytesOfTheFirst) {
    std::vector<uint8_t> content(129);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i + 1);
    }
    fake::BoxSends(std::string(1, Nak));
    Receiver box;
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    ASSERT_EQ(box.frames.size(), 3u);
    std::vector<uint8_t> expected(content.begin(), content.begin() + 128);
    expected[0] = content[128];  // file byte 128, then file bytes 1 to 127
    EXPECT_EQ(BlockData(box.frames[1], 2), expected);
}

TEST_F(XmodemSenderTest, BlockNumbersWrapFrom255ToZero) {
    const auto content = test::RandomBytes(128 * 257 + 5, 3);
    fake::BoxSends(std::string(1, Nak));
    Receiver box;
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    const auto fields = ExpectedFields(content);
    ASSERT_EQ(box.frames.size(), 259u);
    for (size_t k : {254u, 255u, 256u, 257u, 258u}) {
        const auto number = static_cast<uint8_t>(k % 256);
        EXPECT_EQ(BlockData(box.frames[k - 1], number), fields[k - 1]) << "block " << k;
    }
    EXPECT_EQ(box.frames[255].bytes[1], 0x00);  // block 256
    EXPECT_EQ(box.frames[255].bytes[2], 0xFF);
    EXPECT_TRUE(IsEot(box.frames.back()));
}

// ---- The box drives the transfer -----------------------------------------------------------

TEST_F(XmodemSenderTest, NakAndCanRepeatTheCurrentBlockAndAckMovesOn) {
    const auto content = test::RandomBytes(256, 11);
    fake::BoxSends(std::string(1, Nak));
    Receiver box({{std::string(1, Nak)},  // block 1 again
                  {std::string(1, Can)},  // and again: CAN does not cancel
                  {std::string(1, Ack)},  // block 2
                  {std::string(1, Nak)},  // block 2 again, not block 1
                  {std::string(1, Nak)},  // block 2 again
                  {std::string(1, Ack)},  // EOT
                  {std::string(1, Ack)}});
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    const auto fields = ExpectedFields(content);
    const std::vector<uint8_t> numbers{1, 1, 1, 2, 2, 2};
    ASSERT_EQ(box.frames.size(), numbers.size() + 1);
    for (size_t i = 0; i < numbers.size(); ++i) {
        EXPECT_EQ(BlockData(box.frames[i], numbers[i]), fields[numbers[i] - 1u]) << "frame " << i;
    }
    EXPECT_TRUE(IsEot(box.frames.back()));
    EXPECT_EQ(out_, Progress({50, 100}) + ClearLine);
}

TEST_F(XmodemSenderTest, OtherBytesChangeNothingAndTheCrcRequestGetsNoBlock) {
    const auto content = test::RandomBytes(128, 5);
    // A receiver asking for the CRC variant and chattering: only the NAK starts the transfer.
    fake::BoxSends("CCC");
    fake::BoxSends("hello\r\n", 2000);
    fake::BoxSends(std::string(1, Nak), 4000);
    Receiver box({{"xyz\x05" + std::string(1, Ack)}});
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    ASSERT_EQ(box.frames.size(), 2u);
    EXPECT_EQ(box.frames[0].at, 4000u);
    BlockData(box.frames[0], 1);
    EXPECT_TRUE(IsEot(box.frames[1]));
}

TEST_F(XmodemSenderTest, AnAckBeforeTheFirstBlockMovesOnToBlockTwo) {
    const auto content = test::RandomBytes(300, 9);
    fake::BoxSends(std::string(1, Ack));
    Receiver box;
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    const auto fields = ExpectedFields(content);
    ASSERT_EQ(box.frames.size(), 3u);
    EXPECT_EQ(BlockData(box.frames[0], 2), fields[1]);
    EXPECT_EQ(BlockData(box.frames[1], 3), fields[2]);
    EXPECT_TRUE(IsEot(box.frames[2]));
    EXPECT_EQ(out_, Progress({33, 66, 100}) + ClearLine);
}

TEST_F(XmodemSenderTest, ShortWritesAreContinuedUntilTheWholeBlockIsOut) {
    const auto content = test::RandomBytes(200, 13);
    fake::LimitWrites(50, 10);
    fake::BoxSends(std::string(1, Nak));
    Receiver box;
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    const auto fields = ExpectedFields(content);
    ASSERT_EQ(box.frames.size(), 3u);
    EXPECT_EQ(BlockData(box.frames[0], 1), fields[0]);
    EXPECT_EQ(BlockData(box.frames[1], 2), fields[1]);
    EXPECT_EQ(fake::WriteCalls().front(), 50u);
}

// ---- The buffer sender -----------------------------------------------------------------------

TEST_F(XmodemSenderTest, BufferOf400BytesGoesOutAsFourBlocksOfTheBuffer) {
    const auto content = test::RandomBytes(512, 21);
    std::copy(content.begin(), content.end(), ImageBuffer.begin());
    fake::BoxSends(std::string(1, Nak));
    Receiver box;
    ASSERT_EQ(SendBuffer(400), 0);

    ASSERT_EQ(box.frames.size(), 5u);
    for (uint8_t k = 1; k <= 4; ++k) {
        const std::vector<uint8_t> expected(content.begin() + 128 * (k - 1),
                                            content.begin() + 128 * k);
        EXPECT_EQ(BlockData(box.frames[k - 1], k), expected);
    }
    EXPECT_TRUE(IsEot(box.frames[4]));
    EXPECT_EQ(out_, Progress({25, 50, 75, 100}) + ClearLine);
}

TEST_F(XmodemSenderTest, BufferSizesOutsideTheBufferAreRefusedBeforeAnythingIsSent) {
    for (uint32_t n : {0u, ImageBufferSize + 1, 0xFFFFFFFFu}) {
        fake::Reset();
        fake::BoxSends(std::string(1, Nak));
        Receiver box;
        EXPECT_EQ(SendBuffer(n), 1) << n;
        EXPECT_TRUE(box.frames.empty()) << n;
        EXPECT_EQ(err_, "Cannot send " + std::to_string(n) + " bytes from the image buffer\n");
    }
}

TEST_F(XmodemSenderTest, WholeImageBufferEndsWithTheLastBufferByte) {
    const auto tail = test::RandomBytes(128, 4);
    std::copy(tail.begin(), tail.end(), ImageBuffer.end() - 128);
    fake::BoxSends(std::string(1, Nak));
    Receiver box;
    ASSERT_EQ(SendBuffer(ImageBufferSize), 0);
    const size_t blocks = ImageBufferSize / 128;
    ASSERT_EQ(box.frames.size(), blocks + 1);
    EXPECT_EQ(BlockData(box.frames[blocks - 1], static_cast<uint8_t>(blocks)), tail);
}

// ---- Silence and failures --------------------------------------------------------------------

struct SilenceCase {
    std::vector<uint32_t> replyDelaysMs;  // delay of the box's ACK after each block
    int notices;
};

class Silence : public XmodemSenderTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(Silence, Message54AfterEachFiveSecondsWithoutAByte) {
    const auto& delays = GetParam().replyDelaysMs;
    const auto content = test::RandomBytes(128 * delays.size(), 17);
    fake::BoxSends(std::string(1, Nak));
    std::vector<Reply> script;
    for (uint32_t d : delays) {
        script.push_back({std::string(1, Ack), d});
    }
    Receiver box(script);
    ASSERT_EQ(SendFile(WriteImage(content)), 0);

    std::string notices;
    for (int i = 0; i < GetParam().notices; ++i) {
        notices += std::string(MessageByNumber(54)) + "\n";
    }
    std::string expected = notices;
    // The notices stand between the progress lines: compare them apart from the percentages.
    std::string got = out_;
    for (size_t pos; (pos = got.find(" % transmitted\r")) != std::string::npos;) {
        got.erase(pos - 3, 3 + 15);
    }
    EXPECT_EQ(got, expected + ClearLine);
}

INSTANTIATE_TEST_SUITE_P(Delays, Silence,
                         ::testing::Values(SilenceCase{{4999}, 0}, SilenceCase{{5000}, 1},
                                           SilenceCase{{12000}, 2},
                                           // a received byte starts the count again, so waits
                                           // that add up to more than 5 s say nothing
                                           SilenceCase{{3000, 3000}, 0},
                                           SilenceCase{{4999, 4999, 4999, 4999}, 0},
                                           // and a box that falls silent still hears of it
                                           SilenceCase{{4999, 5000, 4999, 15000}, 4}));

TEST_F(XmodemSenderTest, ReadFailureEndsTheTransferWithItsLine) {
    const auto content = test::RandomBytes(300, 2);
    fake::BoxSends(std::string(1, Nak));
    fake::FailReads(ErrorOperationAborted, 1);
    Receiver box;
    EXPECT_EQ(SendFile(WriteImage(content)), 1);
    EXPECT_EQ(err_, "Error during read from COM1\n" + FailureHintLine(ErrorOperationAborted));
    EXPECT_EQ(out_, ClearLine);
    EXPECT_TRUE(box.frames.empty());
}

TEST_F(XmodemSenderTest, WriteFailureEndsTheTransferWithItsLine) {
    const auto content = test::RandomBytes(300, 2);
    fake::BoxSends(std::string(1, Nak));
    fake::FailWrites(5, 1);
    Receiver box;
    EXPECT_EQ(SendFile(WriteImage(content)), 1);
    EXPECT_EQ(err_, "Error during write to COM\n" + FailureHintLine(5));
    EXPECT_EQ(out_, ClearLine);
}

TEST_F(XmodemSenderTest, FileProblemsAreReportedBeforeAnythingIsSent) {
    const std::string missing = dir_ + "/missing.pad";
    const std::string empty = WriteImage({}, "empty.pad");
    struct Case {
        std::string path;
        std::string error;
    };
    for (const Case& c : {Case{missing, "Cannot open file " + missing + "\n"},
                          Case{empty, "Unexpected end of file " + empty + "\n"},
                          Case{dir_, "Cannot open file " + dir_ + "\n"}}) {
        fake::Reset();
        fake::BoxSends(std::string(1, Nak));
        Receiver box;
        EXPECT_EQ(SendFile(c.path), 1);
        EXPECT_EQ(err_, c.error);
        EXPECT_EQ(out_, "");
        EXPECT_TRUE(fake::Written().empty());
    }
}

// ---- The streaming download ------------------------------------------------------------------

class StreamingTest : public XmodemSenderTest {
  protected:
    int Download(const std::string& path, uint32_t softwareId, int patchImage, int param) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result = StreamingDownload(link_, path.c_str(), 0, softwareId, 0, 0, 0, 115200,
                                             patchImage, param);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }
};

TEST_F(StreamingTest, PromptTransferAndFinishedGiveSuccess) {
    const auto image = test::MakePad(test::RandomBytes(200, 1), 5, 0x14, 0x00180004);
    const std::string path = WriteImage(image);
    // The NAK in the same read as the prompt is taken by the wait; the transfer starts with
    // the box's next one.
    fake::BoxSends("Now start download\r\n" + std::string(1, Nak));
    fake::BoxSends(std::string(1, Nak), 3000);
    Receiver box({{std::string(1, Ack)}, {std::string(1, Ack)}, {"finished!\r\n", 500}});
    ASSERT_EQ(Download(path, 0x00180004, 0, 0), 0) << err_;

    ASSERT_EQ(box.frames.size(), 3u);
    EXPECT_EQ(box.frames[0].at, 3000u);
    const auto fields = ExpectedFields(image);
    EXPECT_EQ(BlockData(box.frames[0], 1), fields[0]);
    EXPECT_EQ(BlockData(box.frames[1], 2), fields[1]);
    EXPECT_EQ(out_, Progress({50, 100}) + ClearLine + MessageByNumber(10) + "\n" +
                        MessageByNumber(11) + MessageByNumber(10) + "\n");
    EXPECT_EQ(err_, "");
    EXPECT_EQ(fake::Port().closes, 0);
}

TEST_F(StreamingTest, PatchModeSendsTheImageStampedWithTheBoxId) {
    const auto payload = test::MakeSegment(0x00180004, test::RandomBytes(150, 8));
    const auto image = test::MakePad(payload, 5, 0x14, 0x00180004);
    const std::string path = WriteImage(image);
    fake::BoxSends("Now start download\r\n");
    fake::BoxSends(std::string(1, Nak), 100);
    Receiver box({{std::string(1, Ack)}, {std::string(1, Ack)}, {"finished!\r\n"}});
    ASSERT_EQ(Download(path, 0x00180002, 1, 0), 0) << err_;

    std::vector<uint8_t> received;
    for (size_t k = 0; k + 1 < box.frames.size(); ++k) {
        const auto data = BlockData(box.frames[k], static_cast<uint8_t>(k + 1));
        received.insert(received.end(), data.begin(), data.end());
    }
    ASSERT_GE(received.size(), image.size());
    received.resize(image.size());
    EXPECT_EQ(ReadBigEndian32(&received[5]), 0x00180002u);       // the tag
    EXPECT_EQ(ReadBigEndian32(&received[9 + 16]), 0x00180002u);  // the segment header
    // The file itself is not changed.
    EXPECT_EQ(test::ReadFileBytes(path), image);
}

TEST_F(StreamingTest, BoxErrorInsteadOfPromptOrFinishedClosesTheLink) {
    const auto image = test::MakePad(test::RandomBytes(100, 1), 5, 0x14, 0x00180004);
    const std::string path = WriteImage(image);
    struct Case {
        std::string first;
        std::vector<Reply> replies;
        std::string out;
    };
    const std::string afterTransfer =
        Progress({100}) + ClearLine + MessageByNumber(10) + "\n" + MessageByNumber(11);
    for (const Case& c :
         {Case{"ERROR: no flash\r\n", {}, ""}, Case{"Now start download\r\n",
                                                    {{std::string(1, Ack)}, {"ERROR: flash\r\n"}},
                                                    afterTransfer}}) {
        fake::Reset();
        fake::BoxSends(c.first);
        fake::BoxSends(std::string(1, Nak), 100);
        Receiver box(c.replies);
        EXPECT_EQ(Download(path, 0x00180004, 0, 0), 1);
        const std::string failure = std::string(MessageByNumber(13)) + " " +
                                    std::to_string(ErrorBoxErrorText) + "\n" +
                                    FailureHintLine(ErrorBoxErrorText);
        ASSERT_GE(err_.size(), failure.size());
        EXPECT_EQ(err_.substr(err_.size() - failure.size()), failure);
        // Our lines come first; the wait shows the text of the box after them.
        EXPECT_TRUE(out_.starts_with(c.out)) << out_;
        EXPECT_EQ(box.frames.size(), c.replies.size());
        EXPECT_EQ(fake::Port().closes, 1);
    }
}

TEST_F(StreamingTest, SenderOrLoaderFailureLeavesTheLinkOpen) {
    fake::BoxSends("Now start download\r\n");
    const std::string missing = dir_ + "/gone.pad";
    for (int patch : {0, 1}) {
        EXPECT_EQ(Download(missing, 0x00180004, patch, 0), 1);
        EXPECT_EQ(err_, "Cannot open file " + missing + "\n");
        EXPECT_EQ(fake::Port().closes, 0);
        fake::BoxSends("Now start download\r\n");
    }
}

TEST_F(StreamingTest, RaisedPriorityIsRestoredOnEveryWayOut) {
    const auto image = test::MakePad(test::RandomBytes(100, 1), 5, 0x14, 0x00180004);
    const std::string path = WriteImage(image);
    const std::string missing = dir_ + "/gone.pad";
    const std::string prompt = "Now start download\r\n";
    const std::string ack(1, Ack);
    const uint32_t before = GetProcessPriorityClass();
    struct Case {
        const char* name;
        std::string first;
        std::string file;
        std::vector<Reply> replies;
        int result;
    };
    for (const Case& c : {Case{"success", prompt, path, {{ack}, {"finished!\r\n"}}, 0},
                          Case{"no prompt", "ERROR: x\r\n", path, {}, 1},
                          Case{"sender failure", prompt, missing, {}, 1},
                          Case{"no finished", prompt, path, {{ack}, {"ERROR: y\r\n"}}, 1}}) {
        fake::Reset();
        fake::BoxSends(c.first);
        fake::BoxSends(std::string(1, Nak), 100);
        Receiver box(c.replies);
        std::vector<uint32_t> during;
        box.onFrame = [&] { during.push_back(GetProcessPriorityClass()); };
        EXPECT_EQ(Download(c.file, 0x00180004, 0, 1), c.result) << c.name;
        EXPECT_EQ(GetProcessPriorityClass(), before) << c.name;
        if (geteuid() == 0) {
            // Only a privileged process can raise its priority; then it is raised throughout.
            for (uint32_t value : during) {
                EXPECT_NE(value, before) << c.name;
            }
        }
    }
    // Without the row's request the priority is left alone.
    fake::Reset();
    fake::BoxSends(prompt);
    fake::BoxSends(std::string(1, Nak), 100);
    Receiver box({{ack}, {"finished!\r\n"}});
    std::vector<uint32_t> during;
    box.onFrame = [&] { during.push_back(GetProcessPriorityClass()); };
    EXPECT_EQ(Download(path, 0x00180004, 0, 0), 0);
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(during[0], before);
}

}  // namespace
