// The compressed-image container and in-place range compression, checked by decompressing.
#include "image/compression.h"

#include <bzlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

#include "common/messages.h"
#include "image/pad_image.h"
#include "tests/support/message_by_number.h"
#include "tests/support/pad_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint32_t CorrectionStart = 48896;
constexpr uint32_t CorrectionEnd = 65280;  // one past the last corrected byte

Bytes Decompress(const uint8_t* stream, uint32_t length, size_t capacity) {
    Bytes out(capacity + 1);
    unsigned int outLength = static_cast<unsigned int>(out.size());
    int rc = BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &outLength,
                                        reinterpret_cast<char*>(const_cast<uint8_t*>(stream)),
                                        length, 0, 0);
    EXPECT_EQ(rc, BZ_OK);
    out.resize(rc == BZ_OK ? outLength : 0);
    return out;
}

void PutImage(const Bytes& image) {
    ImageBuffer.fill(0);
    std::copy(image.begin(), image.end(), ImageBuffer.begin());
}

Bytes ImageInBuffer(size_t size) {
    return Bytes(ImageBuffer.begin(), ImageBuffer.begin() + size);
}

std::string CorrectionMessages(int attempts) {
    std::string text;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        text += std::string(MessageByNumber(55)) + " " + std::to_string(attempt) + "\n";
    }
    return text;
}

struct Container {
    uint32_t streamLength = 0;
    uint8_t type = 0;
    uint32_t softwareId = 0;
    Bytes decompressed;
    uint32_t storedSum = 0;
    uint32_t streamSum = 0;
};

// Takes the container in CompressedBuffer apart and checks its total size.
Container ReadContainer(uint32_t totalSize, uint32_t headerLength, size_t imageSize) {
    Container c;
    c.streamLength = ReadBigEndian32(CompressedBuffer.data());
    c.type = CompressedBuffer[4];
    if (headerLength == 9) {
        c.softwareId = ReadBigEndian32(CompressedBuffer.data() + 5);
    }
    EXPECT_EQ(totalSize, headerLength + c.streamLength + 4);
    const uint8_t* stream = CompressedBuffer.data() + headerLength;
    c.decompressed = Decompress(stream, c.streamLength, imageSize);
    c.storedSum = ReadBigEndian32(stream + c.streamLength);
    for (uint32_t i = 0; i < c.streamLength; ++i) {
        c.streamSum += stream[i];
    }
    return c;
}

// ---- BuildCompressedImage: the container ------------------------------------------------------

struct LayoutCase {
    int type;
    uint32_t headerLength;
};

void PrintTo(const LayoutCase& c, std::ostream* os) {
    *os << "type " << c.type;
}

class ContainerLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ContainerLayout, HoldsTheWholeImageAsOneStream) {
    const LayoutCase lc = GetParam();
    Bytes payload(50000);
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<uint8_t>((i * i) >> 5);
    }
    const Bytes image = test::MakePad(payload, 5, 0x14, 0x00040015);
    PutImage(image);
    CompressedBuffer.fill(0xA5);

    uint32_t totalSize = 0;
    ::testing::internal::CaptureStdout();
    const int result =
        BuildCompressedImage(static_cast<uint32_t>(image.size()), lc.type, 0x00040015, totalSize);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 1);
    EXPECT_EQ(out, "");

    const Container c = ReadContainer(totalSize, lc.headerLength, image.size());
    EXPECT_EQ(c.type, lc.type);
    if (lc.headerLength == 9) {
        EXPECT_EQ(c.softwareId, 0x00040015u);
    }
    EXPECT_EQ(c.decompressed, image);
    EXPECT_EQ(c.storedSum, c.streamSum);
    EXPECT_EQ(ImageInBuffer(image.size()), image);  // no correction for a passing trial
}

INSTANTIATE_TEST_SUITE_P(Types, ContainerLayout,
                         ::testing::Values(LayoutCase{2, 5}, LayoutCase{4, 9}, LayoutCase{5, 9},
                                           LayoutCase{6, 9}),
                         [](const auto& caseInfo) {
                             return "Type" + std::to_string(caseInfo.param.type);
                         });

TEST(BuildCompressedImage, StreamShorterThanTheTrialPassesWhateverLiesBehindIt) {
    // Random data just under the trial length: the stream ends within it, and the bytes that
    // lie behind it in the buffer must not matter.
    const Bytes image = test::MakePad(test::RandomBytes(150000, 11), 5, 0x14, 0x00040015);
    PutImage(image);
    CompressedBuffer.fill(0xFF);
    uint32_t totalSize = 0;
    ::testing::internal::CaptureStdout();
    const int result =
        BuildCompressedImage(static_cast<uint32_t>(image.size()), 4, 0x00040015, totalSize);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 1);
    EXPECT_EQ(out, "");
    const Container c = ReadContainer(totalSize, 9, image.size());
    EXPECT_LT(c.streamLength, TrialBufferSize);
    EXPECT_EQ(c.decompressed, image);
    EXPECT_EQ(ImageInBuffer(image.size()), image);
}

TEST(BuildCompressedImage, EmptyImageStillMakesAStream) {
    uint32_t totalSize = 0;
    ASSERT_EQ(BuildCompressedImage(0, 2, 0, totalSize), 1);
    const Container c = ReadContainer(totalSize, 5, 0);
    EXPECT_GT(c.streamLength, 0u);
    EXPECT_TRUE(c.decompressed.empty());
}

// ---- BuildCompressedImage: trial failures and the correction ----------------------------------

// The payload sum of an image, as its last four bytes should hold it.
uint32_t PayloadSum(const Bytes& image) {
    return test::ByteSum(Bytes(image.begin() + 9, image.end() - 4));
}

struct CorrectionCase {
    const char* name;
    size_t payloadLength;  // random payload; over ~153,000 bytes the trial fails
    uint32_t softwareId;
    int attempts;       // messages printed
    int finalPattern;   // multiplier of the pattern left in ImageBuffer; 0: image unchanged
    int streamPattern;  // multiplier of the pattern in the sent stream; 0: original image
};

void PrintTo(const CorrectionCase& c, std::ostream* os) {
    *os << c.name;
}

class Correction : public ::testing::TestWithParam<CorrectionCase> {};

TEST_P(Correction, PatternAndChecksumFollowTheAttempts) {
    const CorrectionCase cc = GetParam();
    const Bytes original =
        test::MakePad(test::RandomBytes(cc.payloadLength, 5), 5, 0x14, cc.softwareId);
    const uint32_t imageSize = static_cast<uint32_t>(original.size());
    PutImage(original);

    auto corrected = [&](int multiplier) {
        Bytes image = original;
        if (multiplier == 0) {
            return image;
        }
        for (uint32_t i = 0; i < CorrectionEnd - CorrectionStart; ++i) {
            image[CorrectionStart + i] = static_cast<uint8_t>(multiplier * i);
        }
        WriteBigEndian32(image.data() + image.size() - 4, PayloadSum(image));
        return image;
    };

    uint32_t totalSize = 0;
    ::testing::internal::CaptureStdout();
    const int result = BuildCompressedImage(imageSize, 4, cc.softwareId, totalSize);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_EQ(result, 1);
    EXPECT_EQ(out, CorrectionMessages(cc.attempts));

    const Bytes inBuffer = ImageInBuffer(imageSize);
    EXPECT_EQ(inBuffer, corrected(cc.finalPattern));
    EXPECT_EQ(ReadBigEndian32(inBuffer.data() + imageSize - 4), PayloadSum(inBuffer));

    const Container c = ReadContainer(totalSize, 9, imageSize);
    EXPECT_EQ(c.softwareId, cc.softwareId);
    EXPECT_EQ(c.storedSum, c.streamSum);
    EXPECT_TRUE(c.decompressed == corrected(cc.streamPattern));
}

INSTANTIATE_TEST_SUITE_P(
    Images, Correction,
    ::testing::Values(
        // One correction makes the stream short enough: pattern 0, 1, 2, ... and one message.
        CorrectionCase{"Loader421OneAttempt", 160000, 0x00040015, 1, 1, 1},
        CorrectionCase{"Loader423OneAttempt", 160000, 0x00040017, 1, 1, 1},
        // Never short enough: ten messages, the image ends with pattern 10 and the tenth
        // compression (of the image with pattern 9) is sent.
        CorrectionCase{"Loader421TenAttempts", 200000, 0x00040015, 10, 10, 9},
        // Other loaders: ten messages, the image is left alone.
        CorrectionCase{"OtherLoaderTenAttempts", 200000, 0x00040016, 10, 0, 0},
        CorrectionCase{"OtherLoaderSmallImage", 160000, 0x00180004, 10, 0, 0}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---- BuildCompressedImage: other types and sizes -----------------------------------------------

TEST(BuildCompressedImage, TypeWithoutCompressionSendsTheImageMarkedAsType4) {
    const Bytes image = test::MakePad(test::RandomBytes(3000, 2), 5, 0x14, 0x00030001);
    for (int type : {0, 1, 3, 7, 255}) {
        PutImage(image);
        CompressedBuffer.fill(0x77);
        uint32_t totalSize = 0;
        ::testing::internal::CaptureStderr();
        const int result =
            BuildCompressedImage(static_cast<uint32_t>(image.size()), type, 0x00030001, totalSize);
        const std::string err = ::testing::internal::GetCapturedStderr();
        ASSERT_EQ(result, 1);
        EXPECT_EQ(err, "\nYou cannot use compressed download with this version (" +
                           std::to_string(type) + ")\n");
        EXPECT_EQ(totalSize, image.size());
        Bytes expected = image;
        expected[4] = 4;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), CompressedBuffer.begin()));
        EXPECT_EQ(ImageInBuffer(image.size()), image);
    }
}

TEST(BuildCompressedImage, SizeBeyondTheImageBufferFails) {
    uint32_t totalSize = 99;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(BuildCompressedImage(ImageBufferSize + 1, 4, 0, totalSize), 0);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("can not compress file"),
              std::string::npos);
    EXPECT_EQ(totalSize, 0u);
}

// ---- CompressImageRange ----------------------------------------------------------------------

TEST(CompressImageRange, CompressesTheRangeBehindAnUntouchedPrefix) {
    struct RangeCase {
        uint32_t offset;
        uint32_t length;
    };
    Bytes content(40000);
    for (size_t i = 0; i < content.size(); ++i) {
        content[i] = static_cast<uint8_t>(i / 100);
    }
    for (const RangeCase rc : {RangeCase{0, 40000}, RangeCase{100, 40000}, RangeCase{39999, 40000},
                               RangeCase{40000, 40000}, RangeCase{0, 0}}) {
        // The block has room for the compressed range behind the data.
        Bytes buffer = content;
        buffer.resize(content.size() + 1000, 0);
        uint32_t length = rc.length;
        ::testing::internal::CaptureStdout();
        const int result = CompressImageRange(buffer, length, rc.offset);
        const std::string out = ::testing::internal::GetCapturedStdout();
        ASSERT_EQ(result, 0) << rc.offset << ".." << rc.length;
        EXPECT_EQ(out, "");
        EXPECT_GT(length, rc.offset);
        EXPECT_TRUE(std::equal(content.begin(), content.begin() + rc.offset, buffer.begin()));
        const Bytes range(content.begin() + rc.offset, content.begin() + rc.length);
        EXPECT_EQ(Decompress(buffer.data() + rc.offset, length - rc.offset, range.size()), range);
    }
}

TEST(CompressImageRange, OffsetBeyondLengthFailsSilently) {
    Bytes buffer(1000, 0x42);
    uint32_t length = 10;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(CompressImageRange(buffer, length, 11), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(buffer, Bytes(1000, 0x42));
}

TEST(CompressImageRange, LengthBeyondTheBufferFails) {
    Bytes buffer(1000, 0x42);
    uint32_t length = 1001;
    EXPECT_EQ(CompressImageRange(buffer, length, 0), 1);
    EXPECT_EQ(length, 1001u);
}

TEST(CompressImageRange, ResultThatDoesNotFitFailsAndLeavesTheBufferAlone) {
    // Random bytes grow under compression; the block has no room beyond them.
    const Bytes content = test::RandomBytes(20000, 9);
    Bytes buffer = content;
    uint32_t length = static_cast<uint32_t>(buffer.size());
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(CompressImageRange(buffer, length, 500), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "error compressing file " + std::to_string(BZ_OUTBUFF_FULL) + "\n");
    EXPECT_EQ(length, content.size());
    EXPECT_EQ(buffer, content);
}

TEST(CompressImageRange, EmptyRangeAtTheEndOfAFullBlockDoesNotFit) {
    // Even the short stream of an empty range needs room behind the offset.
    Bytes buffer(100, 0x42);
    uint32_t length = 100;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(CompressImageRange(buffer, length, 100), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "error compressing file " + std::to_string(BZ_OUTBUFF_FULL) + "\n");
    EXPECT_EQ(length, 100u);
}

TEST(CompressImageRange, ResultThatJustFitsSucceeds) {
    // The same random range with a little room behind it in the block.
    const Bytes content = test::RandomBytes(20000, 9);
    Bytes buffer = content;
    buffer.resize(content.size() + 1000, 0);
    uint32_t length = static_cast<uint32_t>(content.size());
    ASSERT_EQ(CompressImageRange(buffer, length, 500), 0);
    EXPECT_GT(length, content.size());
    const Bytes range(content.begin() + 500, content.end());
    EXPECT_EQ(Decompress(buffer.data() + 500, length - 500, range.size()), range);
}

}  // namespace
