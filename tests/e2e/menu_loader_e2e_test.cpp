// The real program against the simulated menu box of the 2.x to 4.x loaders: every procedure in
// every mode (encoded, ready container with -2, compressed here with -c) updates the box, which
// must end up with exactly the image; the size limits at N and N + 1; the box's failure reports
// with the program's messages and exit code 1.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "image/compression.h"
#include "image/pad_image.h"
#include "tests/support/boxsim_runner.h"
#include "tests/support/hint_lines.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

const std::string OkLine = "Download successfully finished. (com port: 1)";
const std::string Programmed =
    "Done!                   \nProgramming the flash memory...Done!                   \n";

struct Box {
    const char* version;
    uint8_t hardwareType;
    uint32_t softwareId;  // the box's version as an id, which its images carry
    int containerType;
    const char* encodedLog;  // how the box logs the menu choice without options
};

const Box Box20{"2.0", 2, 0x00020000, 2, "menu choice 3: encoded download"};
const Box Box42{"4.2", 4, 0x00040002, 4, "menu choice 7: compressed download"};
const Box Box46{"4.6", 5, 0x00040006, 5, "menu choice 7: compressed download"};

// A payload that looks like box software: code-like random stretches, zero runs and filler.
std::vector<uint8_t> RealLookingPayload(size_t size, uint32_t seed) {
    std::vector<uint8_t> payload = test::RandomBytes(size, seed);
    for (size_t at = 0; at < size; at += 8192) {
        const size_t zeros = std::min<size_t>(3000, size - at);
        std::fill_n(payload.begin() + static_cast<long>(at), zeros, 0x00);
    }
    return payload;
}

class MenuLoaderE2E : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::TempDir(); }

    std::string WriteFile(const std::string& name, const std::vector<uint8_t>& bytes) {
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(test::WriteFileBytes(path, bytes));
        return path;
    }

    // The image for this box, written to image.pad.
    std::string WriteImage(const Box& box, size_t payloadSize = 80000) {
        image_ = test::MakePad(RealLookingPayload(payloadSize, box.softwareId), 5, box.hardwareType,
                               box.softwareId);
        return WriteFile("image.pad", image_);
    }

    // The container that the program's own compression makes of image_, as a user would
    // supply it with -2.
    std::string WriteContainer(const Box& box) {
        std::copy(image_.begin(), image_.end(), ImageBuffer.begin());
        uint32_t total = 0;
        const uint32_t id = box.containerType == 2 ? 0 : box.softwareId;
        EXPECT_EQ(BuildCompressedImage(static_cast<uint32_t>(image_.size()), box.containerType, id,
                                       total),
                  1);
        return WriteFile("image.bz.pad", std::vector<uint8_t>(CompressedBuffer.begin(),
                                                              CompressedBuffer.begin() + total));
    }

    bool StartBox(BoxSim& sim, const Box& box, std::vector<std::string> extra = {}) {
        std::vector<std::string> args{"--version", box.version,
                                      "--hw",      test::HardwareTypeArg(box.hardwareType),
                                      "--save",    Received()};
        if (!image_.empty()) {
            args.insert(args.end(), {"--expect", WriteFile("expected.pad", image_)});
        }
        args.insert(args.end(), extra.begin(), extra.end());
        return sim.Start(args);
    }

    ProcessResult Update(const BoxSim& sim, const std::vector<std::string>& args) {
        std::vector<std::string> argv{UPDATE_BINARY, "-p", "1"};
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, "", 180000, {sim.ComEnv(1)}, dir_);
    }

    std::string Received() const { return dir_ + "/received.pad"; }

    std::string dir_;
    std::vector<uint8_t> image_;
    BoxSim box_;
};

// ---- Every procedure in every mode -----------------------------------------------------------

enum class Mode { Plain, ReadyContainer, CompressHere };

struct ModeCase {
    Box box;
    Mode mode;
};

class EveryMode : public MenuLoaderE2E, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(EveryMode, UpdatesTheBoxWithExactlyTheImage) {
    const ModeCase& c = GetParam();
    std::string file = WriteImage(c.box);
    std::vector<std::string> args;
    std::string choiceLog = c.box.encodedLog;
    if (c.mode == Mode::ReadyContainer) {
        file = WriteContainer(c.box);
        args.push_back("-2");
        choiceLog = "menu choice 7: compressed download";
    } else if (c.mode == Mode::CompressHere) {
        args.push_back("-c");
        choiceLog = "menu choice 7: compressed download";
    }
    args.push_back(file);
    ASSERT_TRUE(StartBox(box_, c.box)) << box_.Log();

    const ProcessResult result = Update(box_, args);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_NE(result.out.find(Programmed), std::string::npos) << result.out;
    EXPECT_NE(result.out.find(OkLine), std::string::npos) << result.out;
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    const std::string log = box_.Log();
    EXPECT_NE(log.find(choiceLog), std::string::npos) << log;
    if (c.mode != Mode::Plain || c.box.containerType != 2) {
        EXPECT_NE(log.find("container type " + std::to_string(c.box.containerType)),
                  std::string::npos)
            << log;
    }
    // The box compared what it decoded or decompressed with the image; so does the test.
    EXPECT_EQ(test::ReadFileBytes(Received()), image_);
    // Compressing here says so; a ready container is sent as it is.
    EXPECT_EQ(result.out.find("Compressing file ...") != std::string::npos,
              c.mode == Mode::CompressHere || (c.mode == Mode::Plain && c.box.containerType != 2))
        << result.out;
}

void PrintTo(const ModeCase& c, std::ostream* os) {
    static const char* const modes[] = {"plain", "ready container (-2)", "compress here (-c)"};
    *os << c.box.version << " " << modes[static_cast<int>(c.mode)];
}

std::string ModeCaseName(const ::testing::TestParamInfo<ModeCase>& info) {
    static const char* const modes[] = {"_plain", "_ready_container", "_compress_here"};
    std::string name = std::string("v") + info.param.box.version;
    name[name.find('.')] = '_';
    return name + modes[static_cast<int>(info.param.mode)];
}

INSTANTIATE_TEST_SUITE_P(
    Procedures, EveryMode,
    ::testing::Values(ModeCase{Box20, Mode::Plain}, ModeCase{Box20, Mode::ReadyContainer},
                      ModeCase{Box20, Mode::CompressHere}, ModeCase{Box42, Mode::Plain},
                      ModeCase{Box42, Mode::ReadyContainer}, ModeCase{Box42, Mode::CompressHere},
                      ModeCase{Box46, Mode::Plain}, ModeCase{Box46, Mode::ReadyContainer},
                      ModeCase{Box46, Mode::CompressHere}),
    ModeCaseName);

// ---- Size limits -----------------------------------------------------------------------------

TEST_F(MenuLoaderE2E, SizeLimitAtNAndNPlusOne) {
    struct Case {
        Box box;
        uint32_t payload;
        bool accepted;
        const char* refusal;
    };
    const Case cases[] = {
        {Box20, 1900544, true, ""},
        {Box20, 1900545, false,
         "\n\nThe image size of 1900545 bytes exceeds the limit of 1900544 bytes \n"
         "supported by bootloader version 2.0!\n"
         "Try to restart the application and abort.\n\n"},
        {Box42, 1835008, true, ""},
        {Box42, 1835009, false,
         "\n\nThe image size of 1835009 bytes exceeds the limit of 1835008 bytes \n"
         "supported by bootloader version 4.x!\n"
         "Try to restart the application and abort.\n\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.box.version) + " payload " + std::to_string(c.payload));
        SetUp();
        BoxSim box;
        // Mostly zeros: a large image that encodes and compresses quickly.
        std::vector<uint8_t> payload(c.payload, 0x00);
        for (size_t i = 0; i < payload.size(); i += 4096) {
            payload[i] = static_cast<uint8_t>(i >> 12);
        }
        image_ = test::MakePad(payload, 5, c.box.hardwareType, c.box.softwareId);
        const std::string file = WriteFile("image.pad", image_);
        ASSERT_TRUE(StartBox(box, c.box)) << box.Log();
        const ProcessResult result = Update(box, {file});
        if (c.accepted) {
            EXPECT_EQ(result.exitCode, 0) << result.out << result.err << box.Log();
            EXPECT_EQ(box.Wait(10000), 0) << box.Log();
            EXPECT_EQ(test::ReadFileBytes(Received()), image_);
        } else {
            EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
            EXPECT_EQ(result.err, c.refusal);
            EXPECT_EQ(result.out.find("Start download"), std::string::npos);
            EXPECT_EQ(box.Wait(10000), 0) << box.Log();
            EXPECT_NE(box.Log().find("the program left the menu"), std::string::npos) << box.Log();
        }
    }
}

TEST_F(MenuLoaderE2E, BoxFlagsAnImageAboveItsOwnLimit) {
    // A box whose flash is smaller than the program's limit for its loader: the program sends,
    // the box refuses the image with an error line and reports the violation.
    const std::string file = WriteImage(Box20, 80000);
    ASSERT_TRUE(StartBox(box_, Box20, {"--size-limit", "50000"})) << box_.Log();
    const ProcessResult result = Update(box_, {file});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_EQ(result.err, "WaitFor error  536870919\n" + FailureHintLine(ErrorBoxErrorText));
    EXPECT_EQ(box_.Wait(10000), 1) << box_.Log();
    EXPECT_NE(box_.Log().find("violation: an image of 80000 payload bytes arrives; the flash "
                              "takes 50000"),
              std::string::npos)
        << box_.Log();
}

// ---- The box's failure reports ---------------------------------------------------------------

TEST_F(MenuLoaderE2E, FailureReportsEndTheUpdate) {
    struct Case {
        const char* name;
        Box box;
        const char* failWith;
        int exitCode;
        std::string err;  // standard error, exactly: the specified line and the one after it
        std::string out;  // a piece of standard output
    };
    const std::string errorLine = "ERROR: flash write failed at sector 3\r\n";
    const std::string errorText = "Error \n" + FailureHintLine(ErrorBoxErrorText);
    const std::string flashIds = "Flash's manufacturer and/or device ids dont match!\n" +
                                 FailureHintLine(ErrorFlashIdMismatch);
    const std::string flashReport =
        "Error(s) during erasing, programming or transfering. Abort!\n\n" +
        FailureHintLine(ErrorBoxFlashReport);
    const Case cases[] = {
        {"error text during the encoded download", Box20, "error", 1, errorText, ""},
        {"error text during the compressed download", Box42, "error", 1, errorText,
         "Message from the box:  ("},
        {"flash id text, encoded", Box20, "flash-id", 1, flashIds, ""},
        {"flash id text, compressed", Box46, "flash-id", 1, flashIds, ""},
        {"question mark", Box20, "?", 1, flashReport, ""},
        {"six colons", Box42, "colons", 1, flashReport, ""},
        {"stop during the encoded download", Box20, "stop", 1,
         "Fatal error  536870920\n\n" + FailureHintLine(ErrorBoxStop), ""},
        {"stop is ignored by the compressed download", Box42, "stop", 0, "", OkLine},
        {"a single F is ignored", Box20, "F", 0, "", OkLine},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        BoxSim box;
        const std::string file = WriteImage(c.box, 150000);
        ASSERT_TRUE(StartBox(box, c.box, {"--fail-with", c.failWith, "--quiet-ms", "500"}))
            << box.Log();
        const ProcessResult result = Update(box, {file});
        EXPECT_EQ(result.exitCode, c.exitCode) << result.out << result.err << box.Log();
        EXPECT_EQ(result.err, c.err);
        if (!c.out.empty()) {
            EXPECT_NE(result.out.find(c.out), std::string::npos) << result.out;
        }
        if (std::string(c.failWith) == "error" && c.box.containerType != 2) {
            // The box's text is shown as it arrived.
            EXPECT_NE(result.out.find(errorLine), std::string::npos) << result.out;
        }
        if (c.exitCode != 0) {
            EXPECT_EQ(result.out.find("Programming the flash memory"), std::string::npos);
        }
        EXPECT_EQ(box.Wait(15000), 0) << box.Log();
    }
}

}  // namespace
