// The compressed download against a scripted box on the virtual clock: the container on the
// line, the pieces, the percentage with 99 shown as 100, the box's error text, the ignored
// "STOP", the whole-transfer limit, patch mode and compression failures.
#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/errors.h"
#include "common/settings.h"
#include "image/compression.h"
#include "image/pad_image.h"
#include "platform/platform.h"
#include "protocols/compressed_download.h"
#include "tests/support/fake_port.h"
#include "tests/support/pad_builder.h"

namespace {

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

// A zero-rich image with a 5-byte tag, as the 4.x boxes get them.
std::vector<uint8_t> MakeImage(size_t payloadSize, uint8_t hardwareType, uint32_t softwareId) {
    std::vector<uint8_t> payload = test::RandomBytes(payloadSize, 21);
    for (size_t i = 0; i < payload.size(); i += 3) {
        payload[i] = 0;
    }
    return test::MakePad(payload, 5, hardwareType, softwareId);
}

std::vector<uint8_t> Decompress(const uint8_t* stream, uint32_t length, size_t capacity) {
    std::vector<uint8_t> out(capacity);
    unsigned int outLength = static_cast<unsigned int>(capacity);
    const int rc = BZ2_bzBuffToBuffDecompress(
        reinterpret_cast<char*>(out.data()), &outLength,
        const_cast<char*>(reinterpret_cast<const char*>(stream)), length, 0, 0);
    EXPECT_EQ(rc, BZ_OK);
    out.resize(outLength);
    return out;
}

class SendCompressedImageTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        dir_ = test::TempDir();
        writes_ = 0;
        fake::SetResponder([this](std::span<const uint8_t>) {
            ++writes_;
            if (onWrite_) {
                onWrite_(writes_);
            }
        });
    }

    std::string WriteImage(const std::vector<uint8_t>& bytes) {
        std::string path = dir_ + "/image.pad";
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }

    int Send(const std::string& path, int type, uint32_t softwareId = 0, uint32_t limitMs = 120000,
             int patchImage = 0) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result =
            SendCompressedImage(42, path.c_str(), type, softwareId, limitMs, Progress::Shown,
                                /*ignored=*/0, patchImage);
        error_ = GetLastErrorValue();
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }

    std::string dir_;
    std::string out_;
    std::string err_;
    uint32_t error_ = 0;
    size_t writes_ = 0;
    std::function<void(size_t)> onWrite_;
};

TEST_F(SendCompressedImageTest, ContainerOnTheLine) {
    struct Case {
        int type;
        uint32_t softwareId;
        uint32_t headerLength;
    };
    const Case cases[] = {{2, 0, 5}, {4, 0x00040002, 9}, {5, 0x00040006, 9}, {6, 0x00140001, 9}};
    const std::vector<uint8_t> image = MakeImage(200000, 4, 0x00040002);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        SetUp();
        ASSERT_EQ(Send(WriteImage(image), c.type, c.softwareId), 1);
        const std::vector<uint8_t>& line = fake::Written();
        ASSERT_GT(line.size(), c.headerLength + 4);
        const uint32_t z = ReadBigEndian32(line.data());
        EXPECT_EQ(line.size(), c.headerLength + z + 4);
        EXPECT_EQ(line[4], c.type);
        if (c.headerLength == 9) {
            EXPECT_EQ(ReadBigEndian32(line.data() + 5), c.softwareId);
        }
        uint32_t sum = 0;
        for (uint32_t i = 0; i < z; ++i) {
            sum += line[c.headerLength + i];
        }
        EXPECT_EQ(ReadBigEndian32(line.data() + c.headerLength + z), sum);
        EXPECT_EQ(Decompress(line.data() + c.headerLength, z, image.size() + 1), image);
        EXPECT_EQ(out_.rfind("Compressing file ...\n", 0), 0u) << out_;
        for (size_t i = 0; i + 1 < fake::WriteCalls().size(); ++i) {
            EXPECT_EQ(fake::WriteCalls()[i], 10240u);
        }
    }
}

TEST_F(SendCompressedImageTest, PiecesAndPercentages) {
    // A type without compression sends the file itself (with byte 4 set to 4), so the
    // container's size is the file's.
    struct Case {
        const char* name;
        uint32_t writeLimit;
        std::vector<uint32_t> calls;
        std::string progress;
    };
    const Case cases[] = {
        // The percentage of a pass counts the bytes accepted before it: 0, 40, 81.
        {"whole pieces", 0, {10240, 10240, 4520}, ProgressText({40, 81})},
        // With 100-byte writes the passes see 99.2 % and 99.6 %: both show as 100, once.
        {"99 is shown as 100", 100, {}, ""},
    };
    const std::string path = WriteImage(test::RandomBytes(25000, 5));
    std::vector<uint8_t> container = test::ReadFileBytes(path);
    container[4] = 4;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake::LimitWrites(c.writeLimit);
        ASSERT_EQ(Send(path, 3), 1);
        EXPECT_EQ(fake::Written(), container);
        const std::string header = "Compressing file ...\n";
        ASSERT_EQ(out_.rfind(header, 0), 0u);
        const std::string progress = out_.substr(header.size());
        if (!c.calls.empty()) {
            EXPECT_EQ(fake::WriteCalls(), c.calls);
            EXPECT_EQ(progress, c.progress);
        } else {
            EXPECT_EQ(fake::WriteCalls().size(), 250u);
            EXPECT_EQ(progress.find("  99 %"), std::string::npos);
            const std::string tail = ProgressText({98, 100});
            EXPECT_EQ(progress.substr(progress.size() - tail.size()), tail);
        }
    }
}

TEST_F(SendCompressedImageTest, BoxReplies) {
    const std::string path = WriteImage(MakeImage(100000, 4, 0x00040002));
    struct Case {
        const char* name;
        std::string reply;  // read after the first write
        int result;
        uint32_t error;
    };
    const Case cases[] = {
        {"stop is not watched", "STOP", 1, 0},
        {"question mark", "e?", 0, ErrorBoxFlashReport},
        {"flash text", "Flash's manufacturer and/or device ids dont match!", 0,
         ErrorFlashIdMismatch},
        {"six colons", ":::.::::::", 0, ErrorBoxFlashReport},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        onWrite_ = [&c](size_t n) {
            if (n == 1) {
                fake::BoxSends(c.reply);
            }
        };
        EXPECT_EQ(Send(path, 4, 0x00040002), c.result);
        if (c.result == 0) {
            EXPECT_EQ(error_, c.error);
            EXPECT_EQ(fake::WriteCalls().size(), 1u);
        }
    }
}

TEST_F(SendCompressedImageTest, BoxErrorTextIsPrintedWithTheWholeRead) {
    const std::string path = WriteImage(MakeImage(100000, 4, 0x00040002));
    onWrite_ = [](size_t n) {
        if (n == 2) {
            fake::BoxSends("..ERROR: flash erase failed\r\n");
        }
    };
    EXPECT_EQ(Send(path, 4, 0x00040002), 0);
    EXPECT_EQ(error_, ErrorBoxErrorText);
    const std::string expected = "Message from the box:  (29)\n..ERROR: flash erase failed\r\n\n\n";
    ASSERT_GE(out_.size(), expected.size());
    EXPECT_EQ(out_.substr(out_.size() - expected.size()), expected);
    EXPECT_EQ(err_, "");
}

TEST_F(SendCompressedImageTest, WholeTransferLimit) {
    const std::string path = WriteImage(test::RandomBytes(25000, 5));
    struct Case {
        const char* name;
        uint32_t costMs;  // virtual time of each 1,000-byte write
        int result;
        uint32_t endsAt;
    };
    const Case cases[] = {
        // 24 cut writes of 4,000 ms and a last one that takes no time: the limit counts from
        // the end of the first, 92,000 ms before the end.
        {"within the limit", 4000, 1, 96000},
        // The first pass whose time since the first write exceeds 120,000 ms fails, even
        // though the box keeps answering.
        {"beyond the limit", 6000, 0, 132000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        fake::LimitWrites(1000, c.costMs);
        onWrite_ = [](size_t) { fake::BoxSends("."); };
        EXPECT_EQ(Send(path, 3), c.result);
        EXPECT_EQ(fake::Now(), c.endsAt);
        if (c.result == 0) {
            EXPECT_EQ(error_, ErrorTimeout);
        }
    }

    // The limit starts with the first byte the port takes: a port that takes nothing for
    // longer than the limit and then everything is no failure.
    SetUp();
    fake::FailWrites(ErrorCounterTimeout, 3000);
    EXPECT_EQ(Send(path, 3), 1);
    EXPECT_GT(fake::Now(), 120000u);
    EXPECT_EQ(fake::Written().size(), 25000u);

    // Limit 0: no limit at all.
    SetUp();
    fake::LimitWrites(1000, 60000);
    EXPECT_EQ(Send(path, 3, 0, 0), 1);
}

TEST_F(SendCompressedImageTest, PatchModeChangesOnlyTheTag) {
    const std::vector<uint8_t> image = MakeImage(5000, 9, 0x00070007);
    struct Case {
        int type;
        uint32_t softwareId;
        std::vector<size_t> changed;
    };
    const Case cases[] = {{2, 0x00040002, {4}}, {5, 0x00040006, {4, 5, 6, 7, 8}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.type);
        SetUp();
        ASSERT_EQ(Send(WriteImage(image), c.type, c.softwareId, 120000, 1), 1);
        std::vector<uint8_t> expected = image;
        expected[4] = static_cast<uint8_t>(c.type);
        if (c.changed.size() == 5) {
            WriteBigEndian32(expected.data() + 5, c.softwareId);
        }
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), ImageBuffer.begin()));
        const uint32_t header = c.type == 2 ? 5 : 9;
        EXPECT_EQ(Decompress(fake::Written().data() + header,
                             ReadBigEndian32(fake::Written().data()), expected.size() + 1),
                  expected);
    }
}

TEST_F(SendCompressedImageTest, FailuresBeforeTheTransfer) {
    EXPECT_EQ(Send(dir_ + "/missing.pad", 4), 0);
    EXPECT_EQ(error_, 2u);
    EXPECT_EQ(out_, "") << "nothing is printed for a missing file";

    // Random data does not shrink: 3 MiB of it does not fit the container's stream room.
    SetUp();
    SetLastErrorValue(ErrorTimeout);
    EXPECT_EQ(Send(WriteImage(test::RandomBytes(ImageBufferSize, 77)), 4, 0x00040002), 0);
    EXPECT_EQ(error_, ErrorCompressionFailed) << "not a time-out left over from earlier";
    EXPECT_NE(err_.find("can not compress file"), std::string::npos) << err_;
    EXPECT_TRUE(fake::Written().empty());
}

}  // namespace
