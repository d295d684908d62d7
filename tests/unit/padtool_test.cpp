// padtool's building blocks: the image check with its reasons (held against update's own
// reader), the image builders, the legacy type letters, the container check, the table lookups,
// the argument parsers and the safe output files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "image/compression.h"
#include "image/pad_image.h"
#include "protocols/legacy_path.h"
#include "tests/support/pad_builder.h"
#include "tools/padtool/commands.h"
#include "tools/padtool/file_io.h"
#include "tools/padtool/image_build.h"
#include "tools/padtool/image_facts.h"
#include "tools/padtool/loader_match.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Counting(size_t count) {
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) {
        bytes[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return bytes;
}

Bytes Cut(Bytes bytes, size_t count) {
    bytes.resize(bytes.size() - count);
    return bytes;
}

Bytes Flipped(Bytes bytes, size_t index, uint8_t mask) {
    bytes[index] ^= mask;
    return bytes;
}

Bytes Appended(Bytes bytes, size_t count) {
    bytes.insert(bytes.end(), count, 0);
    return bytes;
}

// ---- The image check ------------------------------------------------------------------------

struct PadCase {
    const char* name;
    Bytes file;
    bool sound;
    const char* faultPart;  // a piece of the reason, for unsound images
};

std::vector<PadCase> PadCases() {
    const Bytes payload = Counting(300);
    const Bytes five = test::MakePad(payload, 5, 0x14, 0x00180004);
    return {
        {"tag 0", test::MakePad(payload, 0, 0, 0), true, ""},
        {"tag 1", test::MakePad(payload, 1, 0x04, 0), true, ""},
        {"tag 5", five, true, ""},
        {"nine bytes, empty payload", Bytes{0, 0, 0, 0, 5, 0, 0, 0, 0}, true, ""},
        {"thirteen bytes, empty payload", Bytes{0, 0, 0, 0, 7, 0, 4, 0, 0x0C, 0, 0, 0, 0}, true,
         ""},
        {"empty file", Bytes{}, false, "too short: 0 bytes"},
        {"three bytes", Bytes{0, 0, 0}, false, "too short: 3 bytes"},
        {"eight bytes", Bytes{0, 0, 0, 0, 0, 0, 0, 0}, false, "too short: 8 bytes"},
        {"payload length beyond the file", Cut(five, 200), false,
         "the length field says 300 payload bytes, but the file has only 113 bytes"},
        {"last byte lost", Cut(five, 1), false, "bad tag length 4"},
        {"tag of 2", test::MakePad(payload, 2, 0x14, 0), false, "bad tag length 2"},
        {"tag of 3", test::MakePad(payload, 3, 0x14, 0), false, "bad tag length 3"},
        {"tag of 6", test::MakePad(payload, 6, 0x14, 0), false, "bad tag length 6"},
        {"bytes behind the checksum", Appended(five, 3), false, "bad tag length 8"},
        {"checksum off in its lowest bit", Flipped(five, five.size() - 1, 0x01), false,
         "wrong checksum"},
        {"checksum off in its highest bit", Flipped(five, five.size() - 4, 0x80), false,
         "wrong checksum"},
        {"payload byte changed", Flipped(five, 100, 0x10), false, "wrong checksum"},
    };
}

TEST(PadtoolInspectTest, AgreesWithTheImageReaderAndGivesTheReason) {
    const std::string dir = test::TempDir();
    for (const PadCase& c : PadCases()) {
        SCOPED_TRACE(c.name);
        const padtool::PadFacts facts = padtool::InspectPad(c.file);
        EXPECT_EQ(facts.sound, c.sound) << facts.fault;
        if (c.sound) {
            EXPECT_TRUE(facts.fault.empty()) << facts.fault;
        } else {
            EXPECT_NE(facts.fault.find(c.faultPart), std::string::npos) << facts.fault;
        }
        // update's reader must come to the same verdict with the same facts.
        const std::string path = dir + "/image.pad";
        ASSERT_TRUE(test::WriteFileBytes(path, c.file));
        uint8_t hardwareType = 0xEE;
        uint32_t softwareId = 0xEEEEEEEE;
        const uint32_t length =
            ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked);
        EXPECT_EQ(length != 0, c.sound);
        if (c.sound) {
            EXPECT_EQ(length, facts.ImageLength());
            EXPECT_EQ(hardwareType, facts.hardwareType);
            EXPECT_EQ(softwareId, facts.softwareId);
        }
    }
}

TEST(PadtoolInspectTest, ReportsTheFieldsOfASoundImage) {
    const Bytes payload = Counting(1000);
    const Bytes file = test::MakePad(payload, 5, 0x23, 0x000C0006);
    const padtool::PadFacts facts = padtool::InspectPad(file);
    ASSERT_TRUE(facts.sound);
    EXPECT_EQ(facts.fileSize, 1013u);
    EXPECT_EQ(facts.payloadLength, 1000u);
    EXPECT_EQ(facts.tagLength, 5u);
    EXPECT_EQ(facts.hardwareType, 0x23);
    EXPECT_EQ(facts.softwareId, 0x000C0006u);
    EXPECT_EQ(facts.ImageLength(), 1008u);
    EXPECT_TRUE(facts.sumsKnown);
    EXPECT_EQ(facts.storedSum, test::ByteSum(payload));
    EXPECT_EQ(facts.computedSum, test::ByteSum(payload));
    const auto body = padtool::PayloadOf(file, facts);
    EXPECT_EQ(Bytes(body.begin(), body.end()), payload);
}

TEST(PadtoolInspectTest, AWrongChecksumShowsBothSums) {
    Bytes file = test::MakePad(Bytes{1, 2, 3}, 1, 4, 0);
    WriteBigEndian32(file.data() + file.size() - 4, 0x12345678);
    const padtool::PadFacts facts = padtool::InspectPad(file);
    EXPECT_FALSE(facts.sound);
    EXPECT_EQ(facts.fault, "wrong checksum: stored 0x12345678, but the payload sums to 0x00000006");
}

// ---- The builders -----------------------------------------------------------------------------

TEST(PadtoolBuildTest, PadImagesAreReadBackByTheImageReader) {
    const std::string dir = test::TempDir();
    struct Case {
        uint32_t tagLength;
        size_t payloadSize;
        uint8_t hardwareType;
        uint32_t softwareId;
    };
    const Case cases[] = {
        {0, 1, 0, 0},
        {1, 10240, 0x12, 0},
        {1, 0, 0x05, 0},
        {5, 10241, 0x14, 0x00180004},
        {5, 0, 0x07, 0x0004000C},
        {5, 77, 0xFF, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "tag " << c.tagLength << ", " << c.payloadSize << " payload bytes");
        const Bytes payload = test::RandomBytes(c.payloadSize, c.tagLength * 100 + 1);
        const Bytes image = padtool::BuildPad(payload, c.tagLength, c.hardwareType, c.softwareId);
        // The same bytes as the test helpers' independent builder.
        EXPECT_EQ(image, test::MakePad(payload, static_cast<int>(c.tagLength), c.hardwareType,
                                       c.softwareId));
        const std::string path = dir + "/made.pad";
        ASSERT_TRUE(test::WriteFileBytes(path, image));
        uint8_t hardwareType = 0xEE;
        uint32_t softwareId = 0xEEEEEEEE;
        EXPECT_EQ(ReadPadImage(path.c_str(), hardwareType, softwareId, PadReading::Checked),
                  c.payloadSize + 8);
        EXPECT_EQ(hardwareType, c.tagLength >= 1 ? c.hardwareType : 0);
        EXPECT_EQ(softwareId, c.tagLength == 5 ? c.softwareId : 0);
    }
}

TEST(PadtoolBuildTest, HyperImageIsByteForByteWhatUpdateWrites) {
    const std::string dir = test::TempDir();
    test::ScopedCurrentDir inDir(dir);
    for (int tag : {0, 1}) {
        SCOPED_TRACE(tag);
        ASSERT_EQ(WriteHyperPad(tag), 1);
        const Bytes written = test::ReadFileBytes(dir + "/hyper.pad");
        const Bytes built = padtool::BuildHyperPad(static_cast<uint8_t>(tag));
        EXPECT_EQ(built.size(), tag == 0 ? 35640u : 35641u);
        EXPECT_EQ(built, written);
    }
}

// ---- Legacy type letters ----------------------------------------------------------------------

Bytes WithMark(size_t size, size_t offset, const Bytes& mark) {
    Bytes payload(size, 0x55);
    std::copy(mark.begin(), mark.end(), payload.begin() + static_cast<std::ptrdiff_t>(offset));
    return payload;
}

TEST(PadtoolLettersTest, PayloadMarksGiveTheirLetters) {
    const Bytes signature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
    const Bytes bootHeader{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00};
    const Bytes signatureOff = {0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x01};
    const Bytes oneByteShort = Cut(WithMark(0x4008, 0x4000, signature), 1);
    Bytes bothPlaces = WithMark(0x4008, 0x4000, signature);
    std::copy(signature.begin(), signature.end(), bothPlaces.begin());
    struct Case {
        const char* name;
        Bytes payload;
        const char* letters;
    };
    const Case cases[] = {
        {"empty", Bytes{}, ""},
        {"plain bytes", Bytes(0x20000, 0x55), ""},
        {"signature at 0x4000", WithMark(0x4008, 0x4000, signature), "ARC"},
        {"signature at 0x4000, one byte short", oneByteShort, ""},
        {"signature at 0x10000", WithMark(0x10008, 0x10000, signature), "ARC"},
        {"signature at 0x4001", WithMark(0x10008, 0x4001, signature), ""},
        {"last signature byte differs", WithMark(0x4008, 0x4000, signatureOff), ""},
        {"factory settings", WithMark(16, 0, Bytes{'V', 'K'}), "F"},
        {"factory settings, two bytes", Bytes{'V', 'K'}, "F"},
        {"lower-case vk", WithMark(16, 0, Bytes{'v', 'k'}), ""},
        {"only V", Bytes{'V'}, ""},
        {"boot image header", WithMark(8, 0, bootHeader), "B"},
        {"software download image", WithMark(8, 0, signature), "S"},
        {"signature at 0 and at 0x4000", bothPlaces, "ARCS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(padtool::LegacyTypeLetters(c.payload), c.letters);
    }
}

// ---- Containers -------------------------------------------------------------------------------

// A PAD image around `stream` with the container tag of `type`.
Bytes ContainerAround(const Bytes& stream, int type, uint32_t softwareId) {
    return test::MakePad(stream, type == 2 ? 1 : 5, static_cast<uint8_t>(type), softwareId);
}

Bytes StreamOf(const Bytes& container, int type) {
    const size_t header = type == 2 ? 5 : 9;
    return Bytes(container.begin() + static_cast<std::ptrdiff_t>(header), container.end() - 4);
}

TEST(PadtoolContainerTest, CompressedImagesDecompressToTheImage) {
    const Bytes image = test::MakePad(Counting(50000), 5, 0x04, 0x00040002);
    for (int type : {2, 4, 5, 6}) {
        SCOPED_TRACE(type);
        Bytes container;
        bool corrected = true;
        std::string error;
        ASSERT_TRUE(padtool::BuildContainer(image, type, 0x00040002, container, corrected, error))
            << error;
        EXPECT_FALSE(corrected);
        const size_t header = type == 2 ? 5 : 9;
        const uint32_t streamLength = ReadBigEndian32(container.data());
        EXPECT_EQ(container.size(), header + streamLength + 4);
        EXPECT_EQ(container[4], type);

        const padtool::PadFacts facts = padtool::InspectPad(container);
        ASSERT_TRUE(facts.sound) << facts.fault;
        const padtool::ContainerFacts found = padtool::InspectContainer(container, facts);
        ASSERT_TRUE(found.isContainer);
        EXPECT_TRUE(found.decompressed) << found.fault;
        EXPECT_EQ(found.type, type);
        EXPECT_EQ(found.softwareId, type == 2 ? 0u : 0x00040002u);
        EXPECT_EQ(found.streamLength, streamLength);
        EXPECT_EQ(found.inner, image);
    }
}

TEST(PadtoolContainerTest, TheLoader421CorrectionIsReported) {
    // Incompressible and long enough that the first 150 KiB of the stream neither end it nor
    // fill the trial buffer: the 4.21 correction rewrites the image, other ids leave it.
    const Bytes image = test::MakePad(test::RandomBytes(200000, 7), 5, 0x12, 0x00040015);
    for (uint32_t softwareId : {0x00040015u, 0x00040016u}) {
        SCOPED_TRACE(softwareId);
        Bytes container;
        bool corrected = false;
        std::string error;
        testing::internal::CaptureStdout();
        ASSERT_TRUE(padtool::BuildContainer(image, 4, softwareId, container, corrected, error));
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(corrected, softwareId == 0x00040015u);
        const padtool::PadFacts facts = padtool::InspectPad(container);
        const padtool::ContainerFacts found = padtool::InspectContainer(container, facts);
        ASSERT_TRUE(found.decompressed) << found.fault;
        EXPECT_EQ(found.inner == image, !corrected);
        // Corrected or not, the image inside is sound.
        EXPECT_TRUE(padtool::InspectPad(found.inner).sound);
    }
}

TEST(PadtoolContainerTest, BadStreamsAreNamed) {
    const Bytes image = test::MakePad(Counting(20000), 1, 0x02, 0);
    Bytes container;
    bool corrected = false;
    std::string error;
    ASSERT_TRUE(padtool::BuildContainer(image, 2, 0, container, corrected, error));
    const Bytes stream = StreamOf(container, 2);
    ASSERT_GT(stream.size(), 100u);

    Bytes damaged = stream;
    damaged[stream.size() / 2] ^= 0xFF;
    struct Case {
        const char* name;
        Bytes file;
        const char* faultPart;
    };
    const Case cases[] = {
        {"damaged", ContainerAround(damaged, 2, 0), "damaged (bzip2 error"},
        {"cut short", ContainerAround(Cut(stream, 10), 2, 0), "cut short"},
        {"bytes behind the stream", ContainerAround(Appended(stream, 3), 2, 0),
         "ends 3 bytes before the payload does"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const padtool::PadFacts facts = padtool::InspectPad(c.file);
        ASSERT_TRUE(facts.sound);
        const padtool::ContainerFacts found = padtool::InspectContainer(c.file, facts);
        EXPECT_TRUE(found.isContainer);
        EXPECT_FALSE(found.decompressed);
        EXPECT_NE(found.fault.find(c.faultPart), std::string::npos) << found.fault;
    }
}

TEST(PadtoolContainerTest, OnlyContainerTagsWithABzip2StreamAreContainers) {
    const Bytes stream = {'B', 'Z', 'h', '9', 0x31, 0x41, 0x59};
    struct Case {
        const char* name;
        Bytes file;
        bool isContainer;
    };
    const Case cases[] = {
        {"type 2", test::MakePad(stream, 1, 2, 0), true},
        {"type 4", test::MakePad(stream, 5, 4, 0x00040002), true},
        {"type 6", test::MakePad(stream, 5, 6, 0), true},
        {"1-byte tag 4", test::MakePad(stream, 1, 4, 0), false},
        {"5-byte tag 2", test::MakePad(stream, 5, 2, 0), false},
        {"5-byte tag 7", test::MakePad(stream, 5, 7, 0), false},
        {"no tag", test::MakePad(stream, 0, 0, 0), false},
        {"type 2, not bzip2", test::MakePad(Bytes{'B', 'Z', 'h', '0', 1}, 1, 2, 0), false},
        {"type 2, plain payload", test::MakePad(Counting(40), 1, 2, 0), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const padtool::PadFacts facts = padtool::InspectPad(c.file);
        ASSERT_TRUE(facts.sound);
        EXPECT_EQ(padtool::InspectContainer(c.file, facts).isContainer, c.isContainer);
    }
}

TEST(PadtoolContainerTest, ImagesBeyondTheImageBufferAreRefused) {
    const Bytes image(ImageBufferSize + 1, 0);
    Bytes container;
    bool corrected = false;
    std::string error;
    EXPECT_FALSE(padtool::BuildContainer(image, 4, 0, container, corrected, error));
    EXPECT_NE(error.find("3145729 bytes"), std::string::npos) << error;
    EXPECT_TRUE(container.empty());
}

// ---- Table lookups ----------------------------------------------------------------------------

TEST(PadtoolLoaderTest, RowsForAHardwareTypeAreGroupedByProcedure) {
    struct Case {
        uint8_t hardwareType;
        std::vector<padtool::ProcedureVersions> groups;
    };
    const Case cases[] = {
        {0x22, {{"DownloadLoader42", "4.24"}}},
        {0x20, {{"StreamingDownload", "12.6 24.2 24.4 24.8 24.9 24.10"}}},
        {0x12,
         {{"DownloadLoader42", "4.21 4.22 4.23 4.24 4.25 4.67 20.5 20.6 20.7 20.8 21.0"},
          {"DownloadNotAvailable", "22.0"}}},
        {0x05, {{"DownloadLoader46", "4.6 4.7 4.14"}}},
        {0x07, {{"DownloadLoader411", "4.11 4.12 4.13"}}},
        {0x01, {{"DownloadLoader17", "1.7 1.9"}}},
        {0x03, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.hardwareType));
        const auto groups = padtool::RowsForHardwareType(c.hardwareType);
        ASSERT_EQ(groups.size(), c.groups.size());
        for (size_t i = 0; i < groups.size(); ++i) {
            EXPECT_EQ(groups[i].procedure, c.groups[i].procedure);
            EXPECT_EQ(groups[i].versions, c.groups[i].versions);
        }
    }
}

TEST(PadtoolLoaderTest, TheImageVersionFindsItsRow) {
    const BootloaderRow* row = padtool::RowForSoftwareId(0x14, 0x00180004);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(padtool::ProcedureName(row->procedure), "StreamingDownload");
    EXPECT_EQ(row->param, 0);

    row = padtool::RowForSoftwareId(0x20, 0x000C0006);
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->param, 1);

    EXPECT_EQ(padtool::RowForSoftwareId(0x04, 0x00180004), nullptr);
    EXPECT_EQ(padtool::RowForSoftwareId(0x20, 0x000C0005), nullptr);
    // 4.1 and 4.10 are different versions.
    row = padtool::RowForSoftwareId(0x02, 0x00040001);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(padtool::ProcedureName(row->procedure), "DownloadLoader20");
    EXPECT_EQ(padtool::RowForSoftwareId(0x02, 0x0004000A), nullptr);
}

TEST(PadtoolLoaderTest, LegacyRowsNeedSoftwareIdAndHardwareType) {
    const LegacyLoaderRow* row = padtool::LegacyRowFor(0x000B0001, 4);
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(row->version, "11.1");
    EXPECT_EQ(padtool::LegacyRowFor(0x000B0001, 5), nullptr);
    EXPECT_EQ(padtool::LegacyRowFor(0x000C0004, 4), nullptr);
    EXPECT_EQ(padtool::SoftwareIdText(0x000B0001), "11.1 (0x000B0001)");
    EXPECT_EQ(padtool::SoftwareIdText(0xFFFF000A), "65535.10 (0xFFFF000A)");
}

// ---- Argument parsers ---------------------------------------------------------------------

TEST(PadtoolParseTest, HardwareTypes) {
    struct Case {
        const char* text;
        bool ok;
        uint8_t value;
    };
    const Case cases[] = {
        {"14", true, 0x14}, {"0x14", true, 0x14}, {"0X2a", true, 0x2A}, {"7", true, 0x07},
        {"ff", true, 0xFF}, {"00", true, 0x00},   {"", false, 0},       {"0x", false, 0},
        {"100", false, 0},  {"0x100", false, 0},  {"g", false, 0},      {"-1", false, 0},
        {"1 ", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint8_t value = 0xEE;
        EXPECT_EQ(padtool::ParseHardwareType(c.text, value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

TEST(PadtoolParseTest, SoftwareIds) {
    struct Case {
        const char* text;
        bool ok;
        uint32_t value;
    };
    const Case cases[] = {
        {"24.4", true, 0x00180004},
        {"4.10", true, 0x0004000A},
        {"0.0", true, 0},
        {"65535.65535", true, 0xFFFFFFFF},
        {"0x00180004", true, 0x00180004},
        {"0xb0001", true, 0x000B0001},
        {"65536.0", false, 0},
        {"1.65536", false, 0},
        {"24", false, 0},
        {"24.", false, 0},
        {".4", false, 0},
        {"24.4.1", false, 0},
        {"-1.0", false, 0},
        {"0x", false, 0},
        {"0x123456789", false, 0},
        {"0x1g", false, 0},
        {"", false, 0},
        {"24,4", false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t value = 0xEEEEEEEE;
        EXPECT_EQ(padtool::ParseSoftwareId(c.text, value), c.ok);
        if (c.ok) {
            EXPECT_EQ(value, c.value);
        }
    }
}

// ---- Files ----------------------------------------------------------------------------------

TEST(PadtoolFilesTest, SameFileByPathAndByInode) {
    const std::string dir = test::TempDir();
    const std::string a = dir + "/a.pad";
    const std::string b = dir + "/b.pad";
    ASSERT_TRUE(test::WriteFileBytes(a, Bytes{1}));
    ASSERT_TRUE(test::WriteFileBytes(b, Bytes{1}));
    ASSERT_EQ(::link(a.c_str(), (dir + "/hard.pad").c_str()), 0);
    ASSERT_EQ(::symlink(a.c_str(), (dir + "/soft.pad").c_str()), 0);
    std::filesystem::create_directory(dir + "/sub");

    EXPECT_TRUE(padtool::SameFile(a, a));
    EXPECT_TRUE(padtool::SameFile(a, dir + "/./a.pad"));
    EXPECT_TRUE(padtool::SameFile(a, dir + "/sub/../a.pad"));
    EXPECT_TRUE(padtool::SameFile(a, dir + "/hard.pad"));
    EXPECT_TRUE(padtool::SameFile(a, dir + "/soft.pad"));
    {
        test::ScopedCurrentDir inDir(dir);
        EXPECT_TRUE(padtool::SameFile("a.pad", a));
        EXPECT_TRUE(padtool::SameFile("sub/../a.pad", "a.pad"));
        EXPECT_FALSE(padtool::SameFile("a.pad", "b.pad"));
    }
    EXPECT_FALSE(padtool::SameFile(a, b));
    EXPECT_FALSE(padtool::SameFile(a, dir + "/new.pad"));
}

TEST(PadtoolFilesTest, OutputReplacesTheTargetAndLeavesNothingElse) {
    const std::string dir = test::TempDir();
    const std::string out = dir + "/out.pad";
    ASSERT_TRUE(test::WriteFileBytes(out, Counting(5000)));
    std::string error;
    ASSERT_TRUE(padtool::WriteOutputFile(out, Bytes{9, 8, 7}, error)) << error;
    EXPECT_EQ(test::ReadFileBytes(out), (Bytes{9, 8, 7}));
    size_t entries = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir)) {
        ++entries;
    }
    EXPECT_EQ(entries, 1u);  // no temporary file left behind
}

TEST(PadtoolFilesTest, UnwritableTargetsFailWithAReason) {
    const std::string dir = test::TempDir();
    std::filesystem::create_directory(dir + "/sub");
    std::string error;
    EXPECT_FALSE(padtool::WriteOutputFile(dir + "/sub", Bytes{1}, error));
    EXPECT_EQ(error, "cannot write: Is a directory");
    EXPECT_FALSE(padtool::WriteOutputFile(dir + "/missing/out.pad", Bytes{1}, error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
}

TEST(PadtoolFilesTest, UnreadableInputsFailWithAReason) {
    const std::string dir = test::TempDir();
    Bytes bytes;
    std::string error;
    EXPECT_FALSE(padtool::ReadInputFile(dir + "/missing.pad", bytes, error));
    EXPECT_EQ(error, "cannot open: No such file or directory");
    EXPECT_FALSE(padtool::ReadInputFile(dir, bytes, error));
    EXPECT_EQ(error, "cannot read: Is a directory");
    // A FIFO without a writer would block the open and the read for ever.
    ASSERT_EQ(mkfifo((dir + "/fifo.pad").c_str(), 0644), 0);
    EXPECT_FALSE(padtool::ReadInputFile(dir + "/fifo.pad", bytes, error));
    EXPECT_EQ(error, "not a regular file (a FIFO, a device or a socket)");
    EXPECT_EQ(padtool::OpenRegularFile(dir + "/fifo.pad", error), -1);

    const Bytes content = test::RandomBytes(200000, 3);  // more than one read piece
    ASSERT_TRUE(test::WriteFileBytes(dir + "/in.bin", content));
    ASSERT_TRUE(padtool::ReadInputFile(dir + "/in.bin", bytes, error)) << error;
    EXPECT_EQ(bytes, content);
}

}  // namespace
