// The menu dialogue of the 2.x to 4.x loaders against a scripted menu box on the virtual clock:
// menu entries and what goes out for each option, the size limits and their refusal, and the
// port closed exactly once on every failure (and left open on success).
#include <bzlib.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/errors.h"
#include "common/settings.h"
#include "image/pad_image.h"
#include "protocols/procedures.h"
#include "tests/support/fake_port.h"
#include "tests/support/hint_lines.h"
#include "tests/support/pad_builder.h"
#include "tests/support/reference_encoder.h"

namespace {

using Procedure = decltype(&DownloadLoader20);

// What the procedures print on a successful run: before the transfer's own lines and after.
const std::string StartOutput = "Start download ...\n";
const std::string EndOutput =
    "Done!                   \n"
    "Programming the flash memory..."
    "Done!                   \n";

std::vector<uint8_t> Decompress(const std::vector<uint8_t>& stream, size_t capacity) {
    std::vector<uint8_t> out(capacity);
    unsigned int length = static_cast<unsigned int>(capacity);
    const int rc =
        BZ2_bzBuffToBuffDecompress(reinterpret_cast<char*>(out.data()), &length,
                                   const_cast<char*>(reinterpret_cast<const char*>(stream.data())),
                                   static_cast<unsigned int>(stream.size()), 0, 0);
    EXPECT_EQ(rc, BZ_OK);
    out.resize(length);
    return out;
}

// Plays the menu: "choice!:" at the start, "file:" once the program has chosen an entry, and
// "finished!" when the program waits for it. Everything written after the entry is the data.
class MenuBox {
  public:
    MenuBox() {
        fake::BoxSends("choice!:");
        fake::SetResponder([this](std::span<const uint8_t> bytes) {
            if (entry.empty()) {
                entry.assign(bytes.begin(), bytes.end());
                if (answerFile) {
                    fake::BoxSends("file:");
                }
                return;
            }
            data.insert(data.end(), bytes.begin(), bytes.end());
            if (onData) {
                onData(data.size());
            }
        });
        fake::SetStallHandler([this] {
            if (!finishedSent && !entry.empty()) {
                finishedSent = true;
                fake::BoxSends(finishedText);
            }
        });
    }
    ~MenuBox() {
        fake::SetResponder({});
        fake::SetStallHandler({});
    }

    std::string entry;
    std::vector<uint8_t> data;
    bool answerFile = true;
    bool finishedSent = false;
    std::string finishedText = "pp.finished!";
    std::function<void(size_t)> onData;
};

struct Options {
    int compressedImage = 0;
    int compressInput = 0;
    int quitRequest = 0;
};

class FlashLoaderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        language = 0;
        dir_ = test::TempDir();
    }

    std::string WriteImage(const std::vector<uint8_t>& bytes) {
        std::string path = dir_ + "/image.pad";
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }

    int Run(Procedure procedure, const std::string& path, uint32_t imageLength, uint32_t softwareId,
            Options options = {}) {
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int result = procedure(42, path.c_str(), imageLength, softwareId, options.quitRequest,
                                     options.compressedImage, options.compressInput, 115200, 0, 0);
        out_ = ::testing::internal::GetCapturedStdout();
        err_ = ::testing::internal::GetCapturedStderr();
        return result;
    }

    std::string dir_;
    std::string out_;
    std::string err_;
};

// ---- Entries and what goes out --------------------------------------------------------------

TEST_F(FlashLoaderTest, EntriesAndDataForEveryOption) {
    enum class Form { Encoded, Unchanged, Container };
    struct Case {
        const char* name;
        Procedure procedure;
        Options options;
        const char* entry;
        Form form;
        int type;              // container type
        uint32_t containerId;  // software id in the container (types 4 to 6)
    };
    const uint32_t imageId = 0x00040002;
    const Case cases[] = {
        {"2.0 without options: encoded", DownloadLoader20, {}, "3", Form::Encoded, 0, 0},
        {"2.0 with -2: the file unencoded", DownloadLoader20, {1, 0}, "7", Form::Unchanged, 0, 0},
        {"2.0 with -c: compressed as type 2", DownloadLoader20, {1, 1}, "7", Form::Container, 2, 0},
        {"4.2 without options: compressed as type 4",
         DownloadLoader42,
         {},
         "7",
         Form::Container,
         4,
         imageId},
        {"4.2 with -2: the file unchanged", DownloadLoader42, {1, 0}, "7", Form::Unchanged, 0, 0},
        {"4.2 with -c: compressed as type 4",
         DownloadLoader42,
         {1, 1},
         "7",
         Form::Container,
         4,
         imageId},
        {"4.6 without options: compressed as type 5",
         DownloadLoader46,
         {},
         "7",
         Form::Container,
         5,
         imageId},
        {"4.6 with -2: the file unchanged", DownloadLoader46, {1, 0}, "7", Form::Unchanged, 0, 0},
    };
    std::vector<uint8_t> payload = test::RandomBytes(40000, 31);
    std::fill(payload.begin(), payload.begin() + 15000, 0x00);
    const std::vector<uint8_t> image = test::MakePad(payload, 5, 4, imageId);
    const std::string path = WriteImage(image);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        MenuBox box;
        ASSERT_EQ(
            Run(c.procedure, path, static_cast<uint32_t>(payload.size() + 8), imageId, c.options),
            0);
        EXPECT_EQ(box.entry, c.entry);
        switch (c.form) {
            case Form::Encoded:
                EXPECT_EQ(box.data, ReferenceEncode(image));
                break;
            case Form::Unchanged:
                EXPECT_EQ(box.data, image);
                break;
            case Form::Container: {
                ASSERT_GT(box.data.size(), 13u);
                EXPECT_EQ(box.data[4], c.type);
                const size_t header = c.type == 2 ? 5 : 9;
                if (header == 9) {
                    EXPECT_EQ(ReadBigEndian32(box.data.data() + 5), c.containerId);
                }
                const uint32_t z = ReadBigEndian32(box.data.data());
                ASSERT_EQ(box.data.size(), header + z + 4);
                const std::vector<uint8_t> stream(box.data.begin() + header,
                                                  box.data.begin() + header + z);
                EXPECT_EQ(Decompress(stream, image.size() + 1), image);
                break;
            }
        }
        EXPECT_EQ(out_.rfind(StartOutput, 0), 0u) << out_;
        ASSERT_GT(out_.size(), EndOutput.size());
        EXPECT_EQ(out_.substr(out_.size() - EndOutput.size()), EndOutput);
        EXPECT_EQ(err_, "");
        EXPECT_EQ(fake::Port().closes, 0) << "success leaves the port to the session";
        EXPECT_EQ(fake::Port().baudRate, 115200u);
    }
}

TEST_F(FlashLoaderTest, ContainerOfLoader20CarriesNoSoftwareId) {
    // DownloadLoader20 gives the compressed download software id 0 whatever the image holds;
    // a type-2 container has no id field, so the type and the stream follow right after Z.
    MenuBox box;
    const std::vector<uint8_t> image = test::MakePad(test::RandomBytes(3000, 2), 1, 2, 0);
    ASSERT_EQ(Run(DownloadLoader20, WriteImage(image), 3008, 0x00020000, {1, 1}), 0);
    ASSERT_GT(box.data.size(), 9u);
    EXPECT_EQ(box.data[4], 2);
    EXPECT_EQ(box.data.size(), 5 + ReadBigEndian32(box.data.data()) + 4);
}

TEST_F(FlashLoaderTest, QuitRequestLeavesTheMenu) {
    MenuBox box;
    Options quit;
    quit.quitRequest = 1;
    EXPECT_EQ(Run(DownloadLoader42, WriteImage({0}), 8, 0, quit), 0);
    EXPECT_EQ(box.entry, "1");
    EXPECT_TRUE(box.data.empty());
    EXPECT_EQ(fake::Port().closes, 1);
}

// ---- Size limits ------------------------------------------------------------------------------

TEST_F(FlashLoaderTest, SizeLimits) {
    struct Case {
        const char* name;
        Procedure procedure;
        uint32_t imageLength;
        bool accepted;
        const char* refusal;
    };
    const char* const tail = "Try to restart the application and abort.\n\n";
    const Case cases[] = {
        {"2.0 at its limit", DownloadLoader20, 1900552, true, ""},
        {"2.0 one byte over", DownloadLoader20, 1900553, false,
         "\n\nThe image size of 1900545 bytes exceeds the limit of 1900544 bytes \n"
         "supported by bootloader version 2.0!\n"},
        {"4.2 at its limit", DownloadLoader42, 1835016, true, ""},
        {"4.2 one byte over", DownloadLoader42, 1835017, false,
         "\n\nThe image size of 1835009 bytes exceeds the limit of 1835008 bytes \n"
         "supported by bootloader version 4.x!\n"},
        {"4.6 at its limit", DownloadLoader46, 1835016, true, ""},
        {"4.6 one byte over", DownloadLoader46, 1835017, false,
         "\n\nThe image size of 1835009 bytes exceeds the limit of 1835008 bytes \n"
         "supported by bootloader version 4.x!\n"},
        {"an image length below 8 wraps around", DownloadLoader20, 7, false,
         "\n\nThe image size of 4294967295 bytes exceeds the limit of 1900544 bytes \n"
         "supported by bootloader version 2.0!\n"},
    };
    // The limit is checked on the length argument; a small file keeps the accepted runs short.
    const std::string path = WriteImage(test::MakePad(test::RandomBytes(100, 1), 5, 4, 0));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        MenuBox box;
        const int result = Run(c.procedure, path, c.imageLength, 0, {1, 0});
        if (c.accepted) {
            EXPECT_EQ(result, 0);
            EXPECT_EQ(box.entry, "7");
            EXPECT_EQ(fake::Port().closes, 0);
            EXPECT_EQ(err_, "");
        } else {
            EXPECT_EQ(result, 1);
            EXPECT_EQ(box.entry, "1") << "the box is sent out of its menu";
            EXPECT_TRUE(box.data.empty());
            EXPECT_EQ(err_, std::string(c.refusal) + tail);
            EXPECT_EQ(out_, "");
            EXPECT_EQ(fake::Port().closes, 1);
        }
    }
}

// ---- Failures: message and exactly one close ------------------------------------------------

TEST_F(FlashLoaderTest, EveryFailureClosesThePortOnce) {
    struct Case {
        const char* name;
        std::function<void(MenuBox&)> arrange;
        std::string err;  // expected standard error: the specified line
        uint32_t value;   // the reason, whose line follows the specified one
    };
    const Case cases[] = {
        {"no menu prompt: the read fails", [](MenuBox&) { fake::FailReads(ErrorOperationAborted); },
         "WaitFor error  995\n", ErrorOperationAborted},
        {"the speed cannot be set", [](MenuBox&) { fake::FailBaudChanges(); }, "", 0},
        {"the entry cannot be sent", [](MenuBox&) { fake::FailWrites(31); },
         "WriteFile error  31\n", 31},
        {"the box reports a flash error during the transfer",
         [](MenuBox& box) {
             box.onData = [](size_t size) {
                 if (size == 10240) {
                     fake::BoxSends(".:?");
                 }
             };
         },
         "Error(s) during erasing, programming or transfering. Abort!\n\n", ErrorBoxFlashReport},
        {"the box stops the transfer",
         [](MenuBox& box) {
             box.onData = [](size_t size) {
                 if (size == 10240) {
                     fake::BoxSends("STOP");
                 }
             };
         },
         "Fatal error  536870920\n\n", ErrorBoxStop},
        {"the box never finishes: its error text",
         [](MenuBox& box) { box.finishedText = "ERROR: programming failed\n"; }, "", 0},
    };
    std::vector<uint8_t> payload = test::RandomBytes(50000, 3);
    const std::string path = WriteImage(test::MakePad(payload, 5, 2, 0x00020000));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        MenuBox box;
        c.arrange(box);
        EXPECT_EQ(Run(DownloadLoader20, path, 50008, 0x00020000), 1);
        EXPECT_EQ(fake::Port().closes, 1);
        if (!c.err.empty()) {
            EXPECT_EQ(err_, c.err + FailureHintLine(c.value));
        }
    }
}

TEST_F(FlashLoaderTest, WaitForFailuresPrintTheirValue) {
    // The box's error text in place of "file:" or "finished!" fails the wait with its value.
    struct Case {
        const char* name;
        bool answerFile;
    };
    for (const Case& c : {Case{"after the entry", false}, Case{"after the transfer", true}}) {
        SCOPED_TRACE(c.name);
        SetUp();
        MenuBox box;
        box.answerFile = c.answerFile;
        box.finishedText = "ERROR: flash\n";
        if (!c.answerFile) {
            fake::SetStallHandler([&box] {
                if (!box.finishedSent) {
                    box.finishedSent = true;
                    fake::BoxSends("ERROR: flash\n");
                }
            });
        }
        EXPECT_EQ(Run(DownloadLoader42, WriteImage(test::MakePad({1, 2, 3}, 5, 4, 0)), 11, 0), 1);
        EXPECT_NE(err_.find("WaitFor error  536870919\n"), std::string::npos) << err_;
        EXPECT_EQ(fake::Port().closes, 1);
    }
}

}  // namespace
