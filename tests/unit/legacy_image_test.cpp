// Loading a PAD image for the legacy loaders and checking it against the image type letter.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/settings.h"
#include "protocols/legacy_image.h"
#include "tests/support/pad_builder.h"

namespace {

const std::vector<uint8_t> ImageSignature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
const std::vector<uint8_t> BootImageHeader{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00};

std::vector<uint8_t> WithMark(size_t size, size_t offset, const std::vector<uint8_t>& mark) {
    std::vector<uint8_t> payload(size, 0x11);
    for (size_t i = 0; i < mark.size() && offset + i < size; ++i) {
        payload[offset + i] = mark[i];
    }
    return payload;
}

TEST(LoadLegacyImage, ReadsTagsOfZeroOneAndFiveBytes) {
    const std::string dir = test::TempDir();
    const std::vector<uint8_t> payload = test::RandomBytes(5000, 11);
    struct Case {
        int tag;
        uint32_t softwareId;
    };
    for (const Case& c : {Case{0, 0}, Case{1, 0}, Case{5, 0x000B0001}}) {
        SCOPED_TRACE(c.tag);
        const std::string path = dir + "/tag" + std::to_string(c.tag) + ".pad";
        ASSERT_TRUE(test::WriteFileBytes(path, test::MakePad(payload, c.tag, 4, 0x000B0001)));
        LegacyImage image;
        ASSERT_EQ(LoadLegacyImage(path.c_str(), image), 1);
        EXPECT_EQ(image.softwareId, c.softwareId);
        ASSERT_EQ(image.payloadLength, payload.size());
        EXPECT_EQ(std::vector<uint8_t>(image.payload.get(), image.payload.get() + 5000), payload);
        // Room behind the payload for a compressed rest that came out larger.
        EXPECT_GE(image.payloadCapacity, payload.size() + payload.size() / 100 + 600);
    }
}

TEST(LoadLegacyImage, RefusesFaultyFiles) {
    const std::string dir = test::TempDir();
    const std::vector<uint8_t> payload = test::RandomBytes(300, 5);
    std::vector<uint8_t> wrongSum = test::MakePad(payload, 5, 4, 0x000B0001);
    wrongSum.back() ^= 0x01;
    std::vector<uint8_t> trailing = test::MakePad(payload, 5, 4, 0x000B0001);
    trailing.push_back(0);
    std::vector<uint8_t> shortLength = test::MakePad(payload, 5, 4, 0x000B0001);
    shortLength[3] = static_cast<uint8_t>(shortLength[3] + 1);  // N one larger: tag of 4
    std::vector<uint8_t> hugeLength = test::MakePad(payload, 5, 4, 0x000B0001);
    hugeLength[0] = 0xFF;  // N beyond the file
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {"tag of 2 bytes", test::MakePad(payload, 2, 4, 0x000B0001)},
        {"tag of 3 bytes", test::MakePad(payload, 3, 4, 0x000B0001)},
        {"tag of 4 bytes", test::MakePad(payload, 4, 4, 0x000B0001)},
        {"tag of 6 bytes", test::MakePad(payload, 6, 4, 0x000B0001)},
        {"wrong sum", wrongSum},
        {"a byte behind the sum", trailing},
        {"length one too large", shortLength},
        {"length beyond the file", hugeLength},
        {"empty file", {}},
        {"length field only", {0, 0, 0, 0}},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir + "/faulty" + std::to_string(++n) + ".pad";
        ASSERT_TRUE(test::WriteFileBytes(path, c.bytes));
        LegacyImage image;
        EXPECT_EQ(LoadLegacyImage(path.c_str(), image), 0);
        EXPECT_EQ(image.payload, nullptr) << "a refused image holds no block";
    }
    LegacyImage image;
    EXPECT_EQ(LoadLegacyImage((dir + "/missing.pad").c_str(), image), 0);
    EXPECT_EQ(LoadLegacyImage(dir.c_str(), image), 0) << "a directory is no image";
}

TEST(LoadLegacyImage, AcceptsAnEmptyPayload) {
    const std::string path = test::TempDir() + "/empty.pad";
    ASSERT_TRUE(test::WriteFileBytes(path, test::MakePad({}, 5, 4, 0x000A0000)));
    LegacyImage image;
    ASSERT_EQ(LoadLegacyImage(path.c_str(), image), 1);
    EXPECT_EQ(image.payloadLength, 0u);
    EXPECT_EQ(image.softwareId, 0x000A0000u);
}

class CheckImageTypeTest : public ::testing::Test {
  protected:
    void TearDown() override { serviceMode = 0; }
};

TEST_F(CheckImageTypeTest, AcceptsEachLetterByItsPayloadRequirementAndServiceMode) {
    const std::vector<uint8_t> application = WithMark(0x10008, 0x4000, ImageSignature);
    const std::vector<uint8_t> applicationHigh = WithMark(0x10008, 0x10000, ImageSignature);
    const std::vector<uint8_t> factory = WithMark(100, 0, {'V', 'K'});
    const std::vector<uint8_t> boot = WithMark(100, 0, BootImageHeader);
    const std::vector<uint8_t> download = WithMark(100, 0, ImageSignature);
    const std::vector<uint8_t> plain(0x20000, 0x11);
    struct Case {
        char letter;
        int service;
        const std::vector<uint8_t>* payload;
        int result;
        LegacyState state;
        const char* message;
    };
    const Case cases[] = {
        {'A', 0, &application, 1, LegacyState::A, ""},
        {'A', 0, &applicationHigh, 1, LegacyState::A, ""},
        {'a', 0, &application, 1, LegacyState::A, ""},
        {'A', 1, &application, 1, LegacyState::A, ""},
        {'A', 0, &plain, 0, LegacyState::None, "invalid flash application\n"},
        {'A', 0, &download, 0, LegacyState::None, "invalid flash application\n"},
        {'F', 0, &factory, 1, LegacyState::F, ""},
        {'f', 1, &factory, 1, LegacyState::F, ""},
        {'F', 0, &application, 0, LegacyState::None, "invalid factory settings\n"},
        {'R', 1, &application, 1, LegacyState::R, ""},
        {'r', 1, &applicationHigh, 1, LegacyState::R, ""},
        {'R', 1, &plain, 0, LegacyState::None, ""},
        {'R', 0, &application, 0, LegacyState::None, "Error, wrong image parameter\n"},
        {'B', 1, &boot, 1, LegacyState::B, ""},
        {'B', 1, &download, 0, LegacyState::None, ""},
        {'B', 0, &boot, 0, LegacyState::None, "Error, wrong image parameter\n"},
        {'C', 1, &application, 1, LegacyState::C, ""},
        {'c', 1, &plain, 0, LegacyState::None, ""},
        {'C', 0, &application, 0, LegacyState::None, "Error, wrong image parameter\n"},
        {'S', 1, &download, 1, LegacyState::S, ""},
        {'s', 1, &boot, 0, LegacyState::None, ""},
        {'S', 0, &download, 0, LegacyState::None, "Error, wrong image parameter\n"},
        {'X', 1, &application, 0, LegacyState::None, "Error, wrong image parameter\n"},
        {'1', 0, &application, 0, LegacyState::None, "Error, wrong image parameter\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(1, c.letter) + (c.service ? " in service mode" : ""));
        serviceMode = c.service;
        LegacyImageState = LegacyState::F;  // a value left from an earlier update
        testing::internal::CaptureStdout();
        EXPECT_EQ(CheckImageType(c.letter, serviceMode, c.payload->data(),
                                 static_cast<uint32_t>(c.payload->size())),
                  c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.message);
        if (c.result == 1) {
            EXPECT_EQ(LegacyImageState, c.state);
        }
    }
}

TEST_F(CheckImageTypeTest, ASignatureCountsOnlyWhenThePayloadHoldsAllOfIt) {
    struct Case {
        size_t size;
        size_t offset;
        int result;
    };
    const Case cases[] = {
        {0x4000 + 8, 0x4000, 1},
        {0x4000 + 7, 0x4000, 0},
        {0x10000 + 8, 0x10000, 1},
        {0x10000 + 7, 0x10000, 0},
        {8, 0, 0},
        {0, 0, 0},
    };
    for (char letter : {'A', 'R', 'C'}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(1, letter) + " size " + std::to_string(c.size));
            serviceMode = 1;
            // The part of the signature that fits is there; the rest would lie behind the end.
            const std::vector<uint8_t> payload = WithMark(c.size, c.offset, ImageSignature);
            testing::internal::CaptureStdout();
            EXPECT_EQ(CheckImageType(letter, serviceMode, payload.data(),
                                     static_cast<uint32_t>(payload.size())),
                      c.result);
            testing::internal::GetCapturedStdout();
        }
    }
    // The marks at the start need their whole length too.
    serviceMode = 1;
    const std::vector<uint8_t> k{'V'};
    const std::vector<uint8_t> boot7(BootImageHeader.begin(), BootImageHeader.end() - 1);
    testing::internal::CaptureStdout();
    EXPECT_EQ(CheckImageType('F', serviceMode, k.data(), 1), 0);
    EXPECT_EQ(CheckImageType('B', serviceMode, boot7.data(), 7), 0);
    EXPECT_EQ(CheckImageType('S', serviceMode, ImageSignature.data(), 8), 1);
    testing::internal::GetCapturedStdout();
}

}  // namespace
