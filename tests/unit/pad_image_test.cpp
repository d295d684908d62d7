// PAD image reader, hyper.pad writer and stamped loading, on real files.
#include "image/pad_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/platform.h"
#include "tests/support/pad_builder.h"

namespace {

using Bytes = std::vector<uint8_t>;

class PadImageTest : public ::testing::Test {
  protected:
    std::string dir = test::TempDir();

    std::string Write(const Bytes& bytes, const std::string& name = "image.pad") {
        std::string path = dir + "/" + name;
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }
};

Bytes Counting(size_t count, uint8_t start = 1) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(start + i * 7);
    }
    return bytes;
}

Bytes WithLengthField(Bytes image, uint32_t n) {
    WriteBigEndian32(image.data(), n);
    return image;
}

// ---- ReadPadImage, normal mode ----------------------------------------------------------

struct ReadCase {
    const char* name;
    Bytes file;
    uint32_t result;
    uint8_t hardwareType;
    uint32_t softwareId;
};

void PrintTo(const ReadCase& c, std::ostream* os) {
    *os << c.name;
}

std::vector<ReadCase> ReadCases() {
    const Bytes payload = Counting(100);
    Bytes lostLastTagByte = test::MakePad(payload, 5, 0x14, 0x00180004);
    lostLastTagByte.erase(lostLastTagByte.begin() + 8);
    Bytes n0t0(8, 0);  // N = 0, T = 0, checksum 0: would be sound but for its size
    return {
        {"Empty", {}, 0, 0, 0},
        {"FourBytes", {0, 0, 0, 0}, 0, 0, 0},
        {"EightBytesNoTagNoPayload", n0t0, 0, 0, 0},
        {"NineBytesOneByteTag", {0, 0, 0, 0, 5, 0, 0, 0, 0}, 8, 5, 0},
        {"ThirteenBytesFiveByteTag", {0, 0, 0, 0, 7, 0, 4, 0, 0x0C, 0, 0, 0, 0}, 8, 7, 0x0004000C},
        {"NoTag", test::MakePad(payload, 0, 0x33, 0x12345678), 108, 0, 0},
        {"OneByteTag", test::MakePad(payload, 1, 0x12, 0x12345678), 108, 0x12, 0},
        {"FiveByteTag", test::MakePad(payload, 5, 0x14, 0x00180004), 108, 0x14, 0x00180004},
        {"TagOfTwo", test::MakePad(payload, 2, 1, 2), 0, 0, 0},
        {"TagOfThree", test::MakePad(payload, 3, 1, 2), 0, 0, 0},
        {"TagOfFour", test::MakePad(payload, 4, 1, 2), 0, 0, 0},
        {"TagOfSix", test::MakePad(payload, 6, 1, 2), 0, 0, 0},
        {"TagOfForty", test::MakePad(payload, 40, 1, 2), 0, 0, 0},
        {"FiveByteTagLostItsLastByte", lostLastTagByte, 0, 0, 0},
        {"LengthOneBeyondFile", WithLengthField(test::MakePad(payload, 0, 0, 0), 101), 0, 0, 0},
        {"LengthFarBeyondFile", WithLengthField(test::MakePad(payload, 0, 0, 0), 0x7FFFFFFF), 0, 0,
         0},
        // 9 - 0xFFFFFFFC - 8 wraps to 5 in 32 bits: a plausible tag for an impossible length.
        {"LengthWrapsToTagFive", {0xFF, 0xFF, 0xFF, 0xFC, 0, 0, 0, 0, 0}, 0, 0, 0},
        {"LengthWrapsToTagOne", WithLengthField(test::MakePad(payload, 1, 0, 0), 0xFFFFFFFF), 0, 0,
         0},
        {"PayloadOfOnePiece", test::MakePad(Counting(10240), 1, 9, 0), 10248, 9, 0},
        {"PayloadOfOnePieceAndOneByte", test::MakePad(Counting(10241), 5, 9, 0x00040015), 10249, 9,
         0x00040015},
        {"PayloadOfManyPieces", test::MakePad(Counting(100000), 0, 0, 0), 100008, 0, 0},
    };
}

class ReadPadImageCases : public PadImageTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadPadImageCases, GivesLengthAndTag) {
    const ReadCase& c = GetParam();
    std::string path = Write(c.file);
    uint8_t hardwareType = 0xEE;
    uint32_t softwareId = 0xDEADBEEF;
    uint32_t result = ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked);
    EXPECT_EQ(result, c.result);
    if (c.result != 0) {
        EXPECT_EQ(hardwareType, c.hardwareType);
        EXPECT_EQ(softwareId, c.softwareId);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, ReadPadImageCases, ::testing::ValuesIn(ReadCases()),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

TEST_F(PadImageTest, EveryFlippedChecksumBitIsRefused) {
    const Bytes image = test::MakePad(Counting(300), 5, 0x14, 0x00180004);
    for (int bit = 0; bit < 32; ++bit) {
        Bytes bad = image;
        bad[bad.size() - 4 + bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        std::string path = Write(bad);
        uint8_t hardwareType = 0;
        uint32_t softwareId = 0;
        EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked), 0u)
            << "bit " << bit;
    }
}

TEST_F(PadImageTest, ChecksumCoversEveryPayloadByteAcrossPieceBorders) {
    // A change in the first byte, the last byte of the first piece, the byte after it and the
    // very last byte must each be seen: none of them may be left out of the sum.
    for (size_t length : {10240u, 10241u, 20481u}) {
        const Bytes good = test::MakePad(Counting(length), 1, 3, 0);
        for (size_t at : {size_t{0}, size_t{10239}, size_t{10240}, length - 1}) {
            if (at >= length) {
                continue;
            }
            Bytes bad = good;
            bad[5 + at] += 1;
            std::string path = Write(bad);
            uint8_t hardwareType = 0;
            uint32_t softwareId = 0;
            EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked), 0u)
                << "length " << length << " changed byte " << at;
        }
    }
}

TEST_F(PadImageTest, PayloadBytesCountAsUnsigned) {
    // Bytes of 0xFF add 255 each, not -1.
    Bytes payload(5000, 0xFF);
    Bytes image = test::MakePad(payload, 0, 0, 0);
    EXPECT_EQ(ReadBigEndian32(image.data() + image.size() - 4), 5000u * 255u);
    std::string path = Write(image);
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked), 5008u);
}

TEST_F(PadImageTest, MissingFileAndDirectoryAreRefused) {
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    std::string missing = dir + "/missing.pad";
    EXPECT_EQ(ReadPadImage(missing.c_str(), hardwareType, softwareId, PadReading::Checked), 0u);
    EXPECT_EQ(ReadPadImage(missing.c_str(), hardwareType, softwareId, PadReading::Raw), 0u);
    EXPECT_EQ(ReadPadImage(dir.c_str(), hardwareType, softwareId, PadReading::Checked), 0u);
}

// ---- ReadPadImage, raw mode -----------------------------------------------------------------

TEST_F(PadImageTest, RawModeTakesAnyFileAsItIs) {
    struct RawCase {
        Bytes file;
        uint32_t result;
    };
    const std::vector<RawCase> cases = {
        {{}, 0},
        {{0x42}, 1},
        {test::RandomBytes(12345, 7), 12345},
        {test::MakePad(Counting(10), 2, 1, 1), 20},  // would be refused in normal mode
    };
    for (const auto& c : cases) {
        std::string path = Write(c.file);
        uint8_t hardwareType = 0;
        uint32_t softwareId = 0;
        EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Raw), c.result);
        EXPECT_EQ(hardwareType, 7);
        EXPECT_EQ(softwareId, 0x0004000Cu);
    }
}

TEST_F(PadImageTest, OnlyRawModeOneSkipsTheCheck) {
    std::string path = Write(test::RandomBytes(500, 3));
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, static_cast<PadReading>(2)), 0u);
    EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, static_cast<PadReading>(-1)),
              0u);
}

// ---- WriteHyperPad ----------------------------------------------------------------------------

TEST_F(PadImageTest, HyperPadWrapsTheBuiltInImage) {
    struct HyperCase {
        int argument;
        bool tagged;
    };
    for (const HyperCase c : {HyperCase{0, false}, HyperCase{1, true}, HyperCase{0x100, false},
                              HyperCase{0x301, true}}) {
        test::ScopedCurrentDir cwd(dir);
        ASSERT_EQ(WriteHyperPad(c.argument), 1);
        const Bytes file = test::ReadFileBytes(dir + "/hyper.pad");
        const size_t tag = c.tagged ? 1 : 0;
        ASSERT_EQ(file.size(), 35640u + tag) << "argument " << c.argument;
        EXPECT_EQ(file[0], 0x00);
        EXPECT_EQ(file[1], 0x00);
        EXPECT_EQ(file[2], 0x8B);
        EXPECT_EQ(file[3], 0x30);
        if (c.tagged) {
            EXPECT_EQ(file[4], 0x01);
        }
        EXPECT_TRUE(std::equal(HyperBootloaderImage.begin(), HyperBootloaderImage.end(),
                               file.begin() + 4 + tag));
        Bytes image(HyperBootloaderImage.begin(), HyperBootloaderImage.end());
        EXPECT_EQ(ReadBigEndian32(file.data() + file.size() - 4), test::ByteSum(image));

        uint8_t hardwareType = 0xEE;
        uint32_t softwareId = 0xEE;
        EXPECT_EQ(ReadPadImage("hyper.pad", hardwareType, softwareId, PadReading::Checked), 35640u);
        EXPECT_EQ(hardwareType, c.tagged ? 1 : 0);
        EXPECT_EQ(softwareId, 0u);
    }
}

TEST_F(PadImageTest, HyperPadReplacesALongerFile) {
    test::ScopedCurrentDir cwd(dir);
    ASSERT_TRUE(test::WriteFileBytes("hyper.pad", Bytes(100000, 0x5A)));
    ASSERT_EQ(WriteHyperPad(0), 1);
    EXPECT_EQ(test::ReadFileBytes("hyper.pad").size(), 35640u);
}

TEST_F(PadImageTest, HyperPadFailsWhenTheFileCannotBeCreated) {
    test::ScopedCurrentDir cwd(dir);
    ASSERT_TRUE(std::filesystem::create_directory(dir + "/hyper.pad"));
    SetLastErrorValue(0);
    EXPECT_EQ(WriteHyperPad(0), 0);
    // The reason is the system's, and the file the bytes went into is gone again.
    EXPECT_EQ(GetLastErrorValue(), static_cast<uint32_t>(EISDIR));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(entry.path().filename(), "hyper.pad");
        ++entries;
    }
    EXPECT_EQ(entries, 1u);
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/hyper.pad"));
}

// ---- LoadStampedImage -------------------------------------------------------------------------

constexpr uint32_t NewId = 0x00040017;
constexpr uint8_t Sentinel = 0xEE;

class LoadStampedImageTest : public PadImageTest {
  protected:
    void SetUp() override { ImageBuffer.fill(Sentinel); }

    // Loads `file`, checks the result and size, and returns what the loader made of it.
    Bytes Load(const Bytes& file) {
        std::string path = Write(file);
        uint32_t size = 0xFFFFFFFF;
        EXPECT_EQ(LoadStampedImage(path.c_str(), size, NewId), 0);
        EXPECT_EQ(size, file.size());
        // Nothing behind the loaded bytes may be touched.
        const size_t end = std::min<size_t>(file.size() + 256, ImageBufferSize);
        for (size_t i = std::max<size_t>(file.size(), 9); i < end; ++i) {
            EXPECT_EQ(ImageBuffer[i], Sentinel) << "offset " << i;
        }
        return Bytes(ImageBuffer.begin(), ImageBuffer.begin() + file.size());
    }

    // `file` with NewId written at each of `offsets`.
    static Bytes Stamped(Bytes file, const std::vector<size_t>& offsets) {
        for (size_t at : offsets) {
            WriteBigEndian32(file.data() + at, NewId);
        }
        return file;
    }
};

TEST_F(LoadStampedImageTest, ThirteenByteImageChangesOnlyTheTagId) {
    const Bytes file = {0, 0, 0, 0, 7, 0, 4, 0, 0x0C, 0, 0, 0, 0};
    EXPECT_EQ(Load(file), Stamped(file, {5}));
}

TEST_F(LoadStampedImageTest, SegmentChainIsStamped) {
    struct ChainCase {
        const char* name;
        Bytes payload;
        std::vector<size_t> stamped;  // file offsets of the id fields to be stamped
    };
    const Bytes body16 = Counting(16, 0x30);
    const Bytes body4 = Counting(4, 0x60);
    auto join = [](std::vector<Bytes> parts) {
        Bytes all;
        for (const auto& p : parts) {
            all.insert(all.end(), p.begin(), p.end());
        }
        return all;
    };
    const std::vector<ChainCase> cases = {
        // Second header at 9 + 48 + 16 = 73.
        {"TwoSegments",
         join({test::MakeSegment(0x00040015, body16), test::MakeSegment(0x00040015, body4)}),
         {5, 9 + 16, 73 + 16}},
        {"ThreeSegments",
         join(
             {test::MakeSegment(1, body4), test::MakeSegment(2, {}), test::MakeSegment(3, body16)}),
         {5, 9 + 16, 61 + 16, 109 + 16}},
        // One segment fills the payload: the next would begin on the checksum field.
        {"OneSegment", test::MakeSegment(1, body16), {5, 9 + 16}},
        // The walk ends on a length that points past the loaded bytes.
        {"LengthPastTheEnd", test::MakeSegment(1, body16, 5000), {5, 9 + 16}},
        // 48 + L wraps to a small step in 32 bits; it must end the walk instead.
        {"LengthAllOnes", join({test::MakeSegment(1, Counting(200), 0xFFFFFFFF)}), {5, 9 + 16}},
        {"LengthWrapsToZeroStep",
         join({test::MakeSegment(1, Counting(200), 0xFFFFFFD0)}),
         {5, 9 + 16}},
        {"LengthWrapsBackwards",
         join({test::MakeSegment(1, Counting(200), 0xFFFFFFC0)}),
         {5, 9 + 16}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ImageBuffer.fill(Sentinel);
        const Bytes file = test::MakePad(c.payload, 5, 0x14, 0x00040001);
        EXPECT_EQ(Load(file), Stamped(file, c.stamped));
    }
}

TEST_F(LoadStampedImageTest, HeaderRunningPastTheLoadedBytesTouchesNothingOutside) {
    // The second header starts 7 bytes before the end of the file (before the checksum field)
    // but its id and length fields would lie beyond the file.
    Bytes payload = test::MakeSegment(1, Counting(16));
    payload.insert(payload.end(), {0xA1, 0xA2, 0xA3});
    const Bytes file = test::MakePad(payload, 5, 0x14, 0x00040001);
    EXPECT_EQ(Load(file), Stamped(file, {5, 9 + 16}));
}

TEST_F(LoadStampedImageTest, HeaderWhoseLengthFieldIsCutOffEndsTheWalk) {
    // The second header's id field lies inside the file, its length field does not.
    Bytes payload = test::MakeSegment(1, Counting(16));
    Bytes cut = test::MakeSegment(2, {});
    cut.resize(24);
    payload.insert(payload.end(), cut.begin(), cut.end());
    const Bytes file = test::MakePad(payload, 5, 0x14, 0x00040001);
    EXPECT_EQ(Load(file), Stamped(file, {5, 9 + 16, 73 + 16}));
}

TEST_F(LoadStampedImageTest, ImageOfExactly3MiBIsLoadedAndItsLastHeaderStaysInside) {
    // The first segment's length puts the second header 10 bytes before the buffer's end.
    const uint32_t total = ImageBufferSize;
    const uint32_t secondHeader = total - 10;
    const uint32_t payloadLength = total - 13;
    Bytes payload(payloadLength, 0x11);
    Bytes first = test::MakeSegment(1, {}, secondHeader - 9 - 48);
    std::copy(first.begin(), first.end(), payload.begin());
    const Bytes file = test::MakePad(payload, 5, 0x14, 0x00040001);
    ASSERT_EQ(file.size(), total);
    std::string path = Write(file);
    uint32_t size = 0;
    ASSERT_EQ(LoadStampedImage(path.c_str(), size, NewId), 0);
    EXPECT_EQ(size, total);
    EXPECT_TRUE(std::equal(file.begin() + 9 + 48, file.end(), ImageBuffer.begin() + 9 + 48));
    EXPECT_EQ(ReadBigEndian32(ImageBuffer.data() + 9 + 16), NewId);
}

TEST_F(LoadStampedImageTest, ImageLargerThan3MiBIsRefused) {
    const Bytes file(ImageBufferSize + 1, 0x22);
    std::string path = Write(file);
    uint32_t size = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LoadStampedImage(path.c_str(), size, NewId), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Image file " + path + " is larger than 3 MiB\n");
}

TEST_F(LoadStampedImageTest, MissingFileIsReported) {
    std::string path = dir + "/nothing.pad";
    uint32_t size = 0;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(LoadStampedImage(path.c_str(), size, NewId), 1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Cannot open file " + path + "\n");
    EXPECT_EQ(ImageBuffer[5], Sentinel);
}

}  // namespace
