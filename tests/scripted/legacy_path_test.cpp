// The legacy loader path against a scripted loader on the virtual clock: the keyword passes,
// the id query, the id check, the loader's row and the session's port settings for these
// loaders.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "common/settings.h"
#include "frontend/session.h"
#include "protocols/legacy_image.h"
#include "protocols/legacy_path.h"
#include "serial/port.h"
#include "tests/support/fake_port.h"
#include "tests/support/pad_builder.h"

namespace {

constexpr SerialLink Link = 42;
const std::string Keyword = "pelmorant";
const std::vector<uint8_t> ImageSignature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
const std::vector<uint8_t> BootImageHeader{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00};

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::string IdBytes(uint32_t id) {
    return std::string{static_cast<char>(id >> 24), static_cast<char>(id >> 16),
                       static_cast<char>(id >> 8), static_cast<char>(id)};
}

// A legacy loader: answers keywords (by `keywordReply`, given the keyword's number from 1),
// the id query, the type byte, the length and the packets, and reports a good flash.
struct ScriptedLoader {
    std::function<std::string(int keyword)> keywordReply = [](int) { return "\x01"; };
    std::string idQueryNoise;  // sent after 0xFF
    std::string idReply = IdBytes(0x000B0001);
    char typeReply = static_cast<char>(0xFE);

    int keywords = 0;
    int type = -1;
    uint32_t length = 0;
    bool lengthSeen = false;
    uint32_t received = 0;
    uint32_t idRequestAt = 0;

    void Install() {
        fake::SetResponder([this](std::span<const uint8_t> bytes) { OnWrite(bytes); });
    }

    void OnWrite(std::span<const uint8_t> bytes) {
        const std::string text(bytes.begin(), bytes.end());
        if (text == Keyword) {
            fake::BoxSends(keywordReply(++keywords));
        } else if (text == "\xFF") {
            fake::BoxSends(idQueryNoise);
        } else if (text == "\x03") {
            idRequestAt = fake::Now();
            fake::BoxSends(idReply);
        } else if (type < 0) {
            type = bytes[0];
            fake::BoxSends(std::string(1, typeReply));
        } else if (!lengthSeen) {
            lengthSeen = true;
            length = (uint32_t{bytes[0]} << 16) | (uint32_t{bytes[1]} << 8) | bytes[2];
        } else {
            received += static_cast<uint32_t>(bytes.size() - 4);
            fake::BoxSends(std::string(1, '\0'));
            if (received == length && type != 0x66) {
                fake::BoxSends("\x04\x05\x06", 10);
            }
        }
    }
};

// A payload that meets the requirement of `letter`.
std::vector<uint8_t> PayloadFor(char letter) {
    std::vector<uint8_t> payload(0x4000 + 5000, 0x11);
    switch (letter) {
        case 'F':
            payload[0] = 'V';
            payload[1] = 'K';
            break;
        case 'B':
            std::copy(BootImageHeader.begin(), BootImageHeader.end(), payload.begin());
            break;
        case 'S':
            std::copy(ImageSignature.begin(), ImageSignature.end(), payload.begin());
            break;
        default:
            std::copy(ImageSignature.begin(), ImageSignature.end(), payload.begin() + 0x4000);
            break;
    }
    return payload;
}

class LegacyPathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        LegacyImageState = LegacyState::A;
        imageTypeLetter = 'A';
        serviceMode = 0;
        dir = test::TempDir();
    }
    void TearDown() override {
        fake::SetResponder({});
        imageTypeLetter = 'A';
        serviceMode = 0;
    }

    std::string WriteImage(const std::vector<uint8_t>& payload, int tag, uint32_t softwareId) {
        const std::string path = dir + "/image" + std::to_string(++images) + ".pad";
        EXPECT_TRUE(test::WriteFileBytes(path, test::MakePad(payload, tag, 4, softwareId)));
        return path;
    }

    int Download(const std::string& path, int patchImage) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const int result =
            LegacyDownload(Link, path.c_str(), patchImage, imageTypeLetter, serviceMode);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
        return result;
    }

    ScriptedLoader loader;
    std::string dir;
    int images = 0;
    std::string out;
    std::string err;
};

TEST_F(LegacyPathTest, OpenLegacyLoaderSendsTheKeywordUntilTheLoaderAnswers) {
    struct Case {
        const char* name;
        std::function<std::string(int)> reply;
        int result;
        int keywords;
    };
    const Case cases[] = {
        {"silent loader", [](int) { return ""; }, 0, 10},
        {"answer at once", [](int) { return "\x01"; }, 1, 1},
        {"echo before the answer", [](int) { return Keyword + "\x01"; }, 1, 1},
        {"noise on two passes, then the answer",
         [](int n) { return n < 3 ? std::string("\x02\x7F") : std::string("\x01"); }, 1, 3},
        {"answer on the tenth pass", [](int n) { return n == 10 ? "\x01" : ""; }, 1, 10},
        {"answer on the eleventh pass only", [](int n) { return n == 11 ? "\x01" : ""; }, 0, 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.keywordReply = c.reply;
        loader.Install();
        testing::internal::CaptureStdout();
        EXPECT_EQ(OpenLegacyLoader(Link), c.result);
        out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(fake::WrittenText(), Repeat(Keyword, c.keywords));
        EXPECT_EQ(out, c.result == 1 ? "bootloader accessed, check version\n" : "");
    }
}

TEST_F(LegacyPathTest, OpenLegacyLoaderWaitsOneSecondPerSilentPass) {
    loader.keywordReply = [](int) { return ""; };
    loader.Install();
    EXPECT_EQ(OpenLegacyLoader(Link), 0);
    EXPECT_GE(fake::Now(), 10u * 1000u);
    EXPECT_LT(fake::Now(), 10u * 1100u);
}

TEST_F(LegacyPathTest, OpenLegacyLoaderGivesUpAtAFailedKeywordSend) {
    loader.Install();
    fake::FailWrites(5, 1);
    EXPECT_EQ(OpenLegacyLoader(Link), 0);
    EXPECT_TRUE(fake::Written().empty()) << "no second pass after a failed send";
}

TEST_F(LegacyPathTest, OpenLegacyLoaderDoesNotWaitForABootImageLoader) {
    LegacyImageState = LegacyState::B;
    loader.keywordReply = [](int) { return ""; };
    loader.Install();
    EXPECT_EQ(OpenLegacyLoader(Link), 1);
    EXPECT_EQ(fake::WrittenText(), Keyword);
    EXPECT_LT(fake::Now(), 50u);
}

TEST_F(LegacyPathTest, QueryBoxSoftwareIdDiscardsWhatComesBeforeTheRequest) {
    loader.Install();
    fake::SetResponder([this](std::span<const uint8_t> bytes) {
        if (bytes.size() == 1 && bytes[0] == 0xFF) {
            // Bytes 250 ms apart: the quiet time of 300 ms starts after the last.
            fake::BoxSends("\x11", 250);
            fake::BoxSends("\x22", 500);
            fake::BoxSends(IdBytes(0x000C0002), 750);
        }
        loader.OnWrite(bytes);
    });
    loader.idReply = IdBytes(0x000C0003);
    uint32_t id = 0;
    ASSERT_EQ(QueryBoxSoftwareId(Link, id), 1);
    EXPECT_EQ(id, 0x000C0003u) << "an id-like noise before the request must not be taken";
    EXPECT_EQ(fake::WrittenText(), "\xFF\x03");
    EXPECT_GT(loader.idRequestAt, 750u + 300u);
}

TEST_F(LegacyPathTest, QueryBoxSoftwareIdFailures) {
    struct Case {
        const char* name;
        std::string idReply;
        int failWrite;  // 1: the start byte fails to go out, 2: the request; 0: none
        int result;
        uint32_t id;
    };
    const Case cases[] = {
        {"id read big-endian", IdBytes(0x000A0000), 0, 1, 0x000A0000},
        {"three id bytes only", IdBytes(0x000B0001).substr(0, 3), 0, 0, 0},
        {"failed start byte is ignored", IdBytes(0x000B0001), 1, 1, 0x000B0001},
        {"failed request fails", IdBytes(0x000B0001), 2, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.idReply = c.idReply;
        fake::SetResponder([this, &c](std::span<const uint8_t> bytes) {
            if (c.failWrite == 2 && bytes[0] == 0xFF) {
                fake::FailWrites(5, 1);  // the request after the start byte
            }
            loader.OnWrite(bytes);
        });
        if (c.failWrite == 1) {
            fake::FailWrites(5, 1);  // the start byte
        }
        uint32_t id = 0;
        EXPECT_EQ(QueryBoxSoftwareId(Link, id), c.result);
        if (c.result == 1) {
            EXPECT_EQ(id, c.id);
        }
    }
}

TEST_F(LegacyPathTest, GivesUpAfterFiftyKeywordsWithMessage31) {
    loader.keywordReply = [](int) { return ""; };
    loader.Install();
    EXPECT_EQ(Download(WriteImage(PayloadFor('A'), 5, 0x000B0001), 0), 1);
    EXPECT_EQ(fake::WrittenText(), Repeat(Keyword, 50));
    EXPECT_EQ(out, "error getting bootloader version\n");
    EXPECT_EQ(fake::Port().closes, 0);
}

TEST_F(LegacyPathTest, BootImageAccessSendsOneKeywordPerAttempt) {
    serviceMode = 1;
    imageTypeLetter = 'B';
    loader.keywordReply = [](int) { return ""; };
    loader.idReply = "";  // the loader never answers
    loader.Install();
    EXPECT_EQ(Download(WriteImage(PayloadFor('B'), 5, 0x000B0001), 0), 1);
    EXPECT_EQ(fake::WrittenText(), Repeat(Keyword + "\xFF\x03", 5));
    EXPECT_EQ(out, "error getting bootloader version\n");
}

TEST_F(LegacyPathTest, ChecksTheLoaderIdAgainstTheImage) {
    struct Case {
        const char* name;
        char letter;
        int service;
        int tag;
        uint32_t imageId;
        uint32_t boxId;
        int patch;
        int result;
        const char* outputPart;
    };
    const Case cases[] = {
        {"same id", 'A', 0, 5, 0x000B0001, 0x000B0001, 0, 0, "ready.\n"},
        {"other id", 'A', 0, 5, 0x000B0001, 0x000C0003, 0, 1,
         "error -> wrong hardware IDs  (0x000b0001)\n"},
        {"other id, patch mode", 'A', 0, 5, 0x000B0001, 0x000C0003, 1, 0, "ready.\n"},
        {"other id, patch flag not 1", 'A', 0, 5, 0x000B0001, 0x000C0003, 2, 1,
         "error -> wrong hardware IDs  (0x000b0001)\n"},
        {"image without id", 'A', 0, 1, 0, 0x000B0001, 0, 1,
         "error -> wrong hardware IDs  (0x00000000)\n"},
        {"image without any tag", 'F', 0, 0, 0, 0x000A0000, 0, 1,
         "error -> wrong hardware IDs  (0x00000000)\n"},
        {"other id, boot image for flash", 'B', 1, 5, 0x000B0001, 0x000C0003, 0, 0, "ready.\n"},
        {"other id, boot image for RAM", 'C', 1, 5, 0x000B0001, 0x000C0003, 0, 0,
         "check version\n."},
        {"other id, application for RAM", 'R', 1, 5, 0x000B0001, 0x000C0003, 0, 1,
         "error -> wrong hardware IDs  (0x000b0001)\n"},
        {"other id, download image", 'S', 1, 5, 0x000B0001, 0x000C0003, 0, 1,
         "error -> wrong hardware IDs  (0x000b0001)\n"},
        {"other id, factory settings", 'F', 0, 5, 0x000B0001, 0x000A0000, 0, 1,
         "error -> wrong hardware IDs  (0x000b0001)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.idReply = IdBytes(c.boxId);
        loader.Install();
        serviceMode = c.service;
        imageTypeLetter = c.letter;
        EXPECT_EQ(Download(WriteImage(PayloadFor(c.letter), c.tag, c.imageId), c.patch), c.result);
        EXPECT_NE(out.find(c.outputPart), std::string::npos) << out;
        if (c.result == 1) {
            EXPECT_EQ(loader.type, -1) << "nothing is sent to a loader with the wrong id";
            EXPECT_EQ(fake::Port().closes, 0);
        }
        EXPECT_EQ(err, "");
    }
}

TEST_F(LegacyPathTest, LoaderWithoutARowIsReportedAndTheLinkClosed) {
    struct Case {
        uint32_t imageId;
        uint32_t boxId;
        int patch;
        const char* err;
        const char* out;
    };
    const Case cases[] = {
        {0x000D0000, 0x000D0000, 0, "Bootloader version not supported:  d0000\n",
         "unsupported software id -> exit (0x000d0000)\n"},
        {0x000B0001, 0x0001000F, 1, "Bootloader version not supported:  1000f\n",
         "unsupported software id -> exit (0x000b0001)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.err);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.idReply = IdBytes(c.boxId);
        loader.Install();
        EXPECT_EQ(Download(WriteImage(PayloadFor('A'), 5, c.imageId), c.patch), 1);
        EXPECT_EQ(err, c.err);
        EXPECT_NE(out.find(c.out), std::string::npos) << out;
        EXPECT_EQ(fake::Port().closes, 1);
        EXPECT_EQ(loader.type, -1);
    }
}

TEST_F(LegacyPathTest, TheLoaderIdPicksTheTransferVariant) {
    // The same application image goes uncompressed to 10.0 and compressed to 12.2.
    struct Case {
        uint32_t boxId;
        bool compressed;
    };
    for (const Case& c : {Case{0x000A0000, false}, Case{0x000C0002, true}}) {
        SCOPED_TRACE(c.boxId);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.idReply = IdBytes(c.boxId);
        loader.Install();
        const std::vector<uint8_t> payload = PayloadFor('A');
        ASSERT_EQ(Download(WriteImage(payload, 5, 0x000B0001), 1), 0) << out;
        EXPECT_EQ(loader.type, 0x55);
        if (c.compressed) {
            EXPECT_LT(loader.length, payload.size());
        } else {
            EXPECT_EQ(loader.length, payload.size());
        }
        EXPECT_EQ(loader.received, loader.length);
    }
}

TEST_F(LegacyPathTest, FailuresBeforeAndAfterTheAccess) {
    struct Case {
        const char* name;
        char letter;
        bool missingFile;
        char typeReply;
        const char* out;
        bool accessed;
    };
    const Case cases[] = {
        {"missing file", 'A', true, '\xFE', "error opening and reading file\n", false},
        {"application without signature", 'F', false, '\xFE', "invalid factory settings\n", false},
        {"type byte refused", 'A', false, '\x15', "error updating image\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fake::Reset();
        loader = ScriptedLoader{};
        loader.typeReply = c.typeReply;
        loader.Install();
        imageTypeLetter = c.letter;
        const std::string path =
            c.missingFile ? dir + "/missing.pad" : WriteImage(PayloadFor('A'), 5, 0x000B0001);
        EXPECT_EQ(Download(path, 0), 1);
        EXPECT_NE(out.find(c.out), std::string::npos) << out;
        EXPECT_EQ(!fake::Written().empty(), c.accessed);
    }
}

TEST_F(LegacyPathTest, LowerCaseTypeLetterActsAsUpperCase) {
    imageTypeLetter = 'f';
    loader.Install();
    ASSERT_EQ(Download(WriteImage(PayloadFor('F'), 5, 0x000B0001), 0), 0) << out;
    EXPECT_EQ(loader.type, 0x77);
    EXPECT_NE(out.find("sending factory settings\n"), std::string::npos) << out;
}

// The whole session for a legacy image, in a child process (the session ends the program).
// The loader reports the port settings when the first keyword arrives; the program's standard
// output goes to standard error as well, where the death test looks.
[[noreturn]] void RunLegacySession(const std::string& path, uint32_t boxId) {
    std::fflush(stdout);
    dup2(STDERR_FILENO, STDOUT_FILENO);
    fake::Reset();
    static ScriptedLoader sessionLoader;
    sessionLoader.idReply = IdBytes(boxId);
    fake::SetResponder([](std::span<const uint8_t> bytes) {
        if (sessionLoader.keywords == 0) {
            std::fprintf(stderr, "port: parity %d, speed %u\n", fake::Port().evenParity,
                         fake::Port().baudRate);
        }
        sessionLoader.OnWrite(bytes);
    });
    static SessionSettings settings;
    settings.imageName = path.c_str();
    UpdateSession(settings);
}

TEST_F(LegacyPathTest, SessionOpensThePortWithEvenParityAndLeavesTheIdCheckToTheLegacyPath) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const std::string path = WriteImage(PayloadFor('A'), 5, 0x000B0001);
    // A loader with the image's id is updated without -x.
    EXPECT_EXIT(RunLegacySession(path, 0x000B0001), testing::ExitedWithCode(0),
                "port: parity 1, speed 115200.*ready\\..*Download successfully finished");
    // A loader with another id stops the update.
    EXPECT_EXIT(RunLegacySession(path, 0x000C0003), testing::ExitedWithCode(1),
                "port: parity 1.*error -> wrong hardware IDs  \\(0x000b0001\\)\n$");
}

}  // namespace
