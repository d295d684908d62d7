// The legacy loaders 10.0 to 12.3 end to end: the real program against boxsim playing the
// loader, which checks every byte it receives, decompresses what was compressed and compares
// the result with the image.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

const std::vector<uint8_t> ImageSignature{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x20, 0x00};
const std::vector<uint8_t> BootImageHeader{0x00, 0x00, 0x1F, 0x38, 0x16, 0x00, 0x00, 0x00};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// A payload that meets the requirement of the type letter (upper case), with a compressible
// body behind its mark.
std::vector<uint8_t> PayloadFor(char letter, size_t size = 0x4000 + 100000) {
    std::vector<uint8_t> payload(size);
    for (size_t i = 0; i < size; ++i) {
        payload[i] = static_cast<uint8_t>((i / 100) % 13 + (i % 5) * 17);
    }
    const std::vector<uint8_t>* mark = &ImageSignature;
    size_t at = 0x4000;
    if (letter == 'F') {
        payload[0] = 'V';
        payload[1] = 'K';
        return payload;
    }
    if (letter == 'B') {
        mark = &BootImageHeader;
        at = 0;
    } else if (letter == 'S') {
        at = 0;
    }
    std::copy(mark->begin(), mark->end(), payload.begin() + static_cast<long>(at));
    return payload;
}

struct Outcome {
    ProcessResult program;
    int box = -1;
    std::string log;
};

class LegacyEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { dir = test::TempDir(); }

    std::string WriteImage(const std::vector<uint8_t>& payload, uint32_t softwareId) {
        const std::string path = dir + "/image" + std::to_string(++images) + ".pad";
        EXPECT_TRUE(test::WriteFileBytes(path, test::MakePad(payload, 5, 4, softwareId)));
        return path;
    }

    // The program under the name of the service technicians' build.
    std::string ServiceProgram() {
        const std::string link = dir + "/VKMupdate";
        if (!std::filesystem::exists(link)) {
            std::filesystem::create_symlink(UPDATE_BINARY, link);
        }
        return link;
    }

    // Runs boxsim with `boxArgs` and the program with `args` (after its name). A box that waits
    // for more from a program that has given up is stopped.
    Outcome Run(const std::vector<std::string>& boxArgs, const std::vector<std::string>& args,
                bool service = false) {
        Outcome outcome;
        BoxSim box;
        if (!box.Start(boxArgs)) {
            ADD_FAILURE() << "boxsim did not start: " << box.Log();
            return outcome;
        }
        const std::string program = service ? ServiceProgram() : std::string(UPDATE_BINARY);
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessOptions options;
        options.extraEnv = {box.ComEnv(1)};
        options.stdinText = "\n";  // the ENTER that a failure in service mode waits for
        options.timeoutMs = 120000;
        outcome.program = RunProcessAs(program, argv, options);
        outcome.box = box.Wait(outcome.program.exitCode == 0 ? 5000 : 300);
        if (outcome.box == -1) {
            outcome.box = box.Stop();
        }
        outcome.log = box.Log();
        return outcome;
    }

    std::string dir;
    int images = 0;
};

std::string Describe(const Outcome& o) {
    return "program exit " + std::to_string(o.program.exitCode) + "\n--- out:\n" + o.program.out +
           "--- err:\n" + o.program.err + "--- boxsim:\n" + o.log;
}

TEST_F(LegacyEndToEnd, ApplicationImagesGoCompressedTo11And12AndPlainTo10) {
    struct Case {
        const char* version;
        uint32_t softwareId;
        bool compressed;
    };
    for (const Case& c : {Case{"10.0", 0x000A0000, false}, Case{"11.1", 0x000B0001, true},
                          Case{"12.3", 0x000C0003, true}}) {
        SCOPED_TRACE(c.version);
        const std::vector<uint8_t> payload = PayloadFor('A');
        const std::string image = WriteImage(payload, c.softwareId);
        // No -x: the legacy path checks the loader's own id.
        const Outcome o =
            Run({"--version", c.version, "--hw", "4", "--expect", image, "--expect-type", "0x55"},
                {image});
        EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
        EXPECT_EQ(o.box, 0) << Describe(o);
        EXPECT_TRUE(
            Contains(o.program.out, "bootloader accessed, check version\nsending flashimage\n"))
            << Describe(o);
        EXPECT_TRUE(Contains(o.program.out,
                             " no errors\nerasing flash, please wait... no errors\n"
                             "flashing image, please wait... ready.\n"))
            << Describe(o);
        EXPECT_TRUE(Contains(o.program.out, "Download successfully finished. (com port: 1)"));
        EXPECT_TRUE(Contains(o.log, "payload matches the expected image")) << o.log;
        EXPECT_EQ(Contains(o.log, "rest decompressed"), c.compressed) << o.log;
        if (!c.compressed) {
            EXPECT_TRUE(Contains(o.log, "length " + std::to_string(payload.size()) + " announced"))
                << o.log;
        }
    }
}

TEST_F(LegacyEndToEnd, TheLoaderIsWokenWithItsOwnKeywordAlsoWithOptionN) {
    // -n changes the session's keyword to "stravinol"; the loader itself is always woken with
    // "pelmorant" (boxsim answers no other).
    const std::string image = WriteImage(PayloadFor('A'), 0x000B0001);
    const Outcome o = Run({"--version", "11.1", "--hw", "4", "--expect", image}, {"-n", image});
    EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
    EXPECT_TRUE(Contains(o.log, "keyword \"stravinol\" received")) << o.log;
    EXPECT_TRUE(Contains(o.log, "payload matches the expected image")) << o.log;
}

TEST_F(LegacyEndToEnd, EveryImageTypeInServiceModeAndFactorySettingsAnywhere) {
    struct Case {
        const char* letter;
        char kind;
        bool service;
        const char* type;
        bool reports;
        const char* message;
    };
    const Case cases[] = {
        {"F", 'F', false, "0x77", true, "sending factory settings\n"},
        {"f", 'F', false, "0x77", true, "sending factory settings\n"},
        {"R", 'R', true, "0x66", false, ""},
        {"B", 'B', true, "0x88", true, ""},
        {"c", 'C', true, "0x66", false, ""},
        {"S", 'S', true, "0x99", true, "sending flashimage\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.letter);
        const std::string image = WriteImage(PayloadFor(c.kind), 0x000B0001);
        const Outcome o =
            Run({"--version", "11.1", "--hw", "4", "--expect", image, "--expect-type", c.type},
                {"-t", c.letter, image}, c.service);
        EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
        EXPECT_EQ(o.box, 0) << Describe(o);
        EXPECT_TRUE(Contains(o.program.out, c.message)) << Describe(o);
        EXPECT_EQ(Contains(o.program.out, "ready.\n"), c.reports) << Describe(o);
        EXPECT_FALSE(Contains(o.log, "rest decompressed")) << "only A images are compressed";
        EXPECT_TRUE(Contains(o.log, "payload matches the expected image")) << o.log;
    }
}

TEST_F(LegacyEndToEnd, ServiceImageTypesAreRefusedOutsideServiceMode) {
    for (const char* letter : {"R", "B", "C", "S", "r"}) {
        SCOPED_TRACE(letter);
        const char kind = static_cast<char>(std::toupper(static_cast<unsigned char>(letter[0])));
        const std::string image = WriteImage(PayloadFor(kind), 0x000B0001);
        const Outcome o = Run({"--version", "11.1", "--hw", "4"}, {"-t", letter, image});
        EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
        EXPECT_TRUE(Contains(o.program.out, "Error, wrong image parameter\n")) << Describe(o);
        EXPECT_FALSE(Contains(o.log, "id 0x")) << "the loader is not even asked for its id";
    }
}

TEST_F(LegacyEndToEnd, ChecksTheLoaderIdUnlessToldOtherwise) {
    const std::string image = WriteImage(PayloadFor('A'), 0x000B0001);
    // Another loader: refused without -x ...
    Outcome o = Run({"--version", "12.3", "--hw", "4"}, {image});
    EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
    EXPECT_TRUE(Contains(o.program.out, "error -> wrong hardware IDs  (0x000b0001)\n"))
        << Describe(o);
    EXPECT_FALSE(Contains(o.log, "type byte")) << o.log;
    // ... and updated with it, by the 12.3 loader's own transfer.
    o = Run({"--version", "12.3", "--hw", "4", "--expect", image}, {"-x", image});
    EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
    EXPECT_EQ(o.box, 0) << Describe(o);
    EXPECT_TRUE(Contains(o.log, "rest decompressed")) << o.log;

    // A loader id without a row in the table.
    o = Run({"--version", "11.1", "--hw", "4", "--legacy-id", "0x000D0000"}, {"-x", image});
    EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
    EXPECT_EQ(o.program.err, "Bootloader version not supported:  d0000\n") << Describe(o);
    EXPECT_TRUE(Contains(o.program.out, "unsupported software id -> exit (0x000b0001)\n"))
        << Describe(o);
}

TEST_F(LegacyEndToEnd, FlashFailuresEndTheUpdate) {
    struct Case {
        const char* option;
        const char* lines;
        bool service;
    };
    const Case cases[] = {
        {"--fail-erase",
         "erasing flash, please wait... Error erasing flash -> exit: 15\n"
         "error updating image\n",
         false},
        {"--fail-program",
         "flashing image, please wait... Error writing image -> exit\n"
         "error updating image\n",
         false},
        {"--fail-transfer", ".Error erasing flash -> exit\nerror updating image\n", false},
        {"--fail-erase", "error updating image\nerror updating image -> ENTER\n", true},
    };
    const std::string image = WriteImage(PayloadFor('F'), 0x000B0001);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.option);
        const Outcome o =
            Run({"--version", "11.1", "--hw", "4", c.option}, {"-t", "F", image}, c.service);
        EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
        EXPECT_TRUE(Contains(o.program.out, c.lines)) << Describe(o);
    }
    // A slow flash within the limits is no failure.
    const Outcome o =
        Run({"--version", "11.1", "--hw", "4", "--erase-ms", "1500", "--program-ms", "1500"},
            {"-t", "F", image});
    EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
}

TEST_F(LegacyEndToEnd, RefusedPacketsAreRepeatedUpTo50Times) {
    const std::string image = WriteImage(PayloadFor('F'), 0x000B0001);
    Outcome o = Run({"--version", "11.1", "--hw", "4", "--expect", image, "--refuse-packet", "2",
                     "--refusals", "5"},
                    {"-t", "F", image});
    EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
    EXPECT_EQ(o.box, 0) << Describe(o);
    EXPECT_TRUE(Contains(o.log, "packet 2 accepted after 6 sends")) << o.log;

    o = Run({"--version", "11.1", "--hw", "4", "--refuse-packet", "1", "--refusals", "51",
             "--refusal-byte", "0xFE"},
            {"-t", "F", image});
    EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
    EXPECT_TRUE(Contains(o.program.out, "sending factory settings\n.error updating image\n"))
        << Describe(o);
    EXPECT_TRUE(Contains(o.log, "gave up packet 1 after 51 sends")) << o.log;
    EXPECT_EQ(o.box, 0) << "the program sent the packet no more than 51 times\n" << o.log;
}

// A device that vanishes is not tried again: the stage's failure line once, the line that says
// the device is gone, exit 1. The line is pulled during the keyword and during the packets.
TEST_F(LegacyEndToEnd, AVanishedDeviceEndsTheStageWithOneLine) {
    const std::string image = WriteImage(PayloadFor('A'), 0x000B0001);
    for (const auto& [pulledAt, lastLine] : {std::pair{"5", "\nerror getting bootloader version\n"},
                                             std::pair{"5000", " 995\nerror updating image\n"}}) {
        SCOPED_TRACE(pulledAt);
        const Outcome o =
            Run({"--version", "11.1", "--hw", "4", "--hangup-after", pulledAt}, {image});
        EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
        EXPECT_TRUE(o.program.out.ends_with(lastLine)) << Describe(o);
        EXPECT_EQ(o.program.out.find(" 995\n"), o.program.out.rfind(" 995\n")) << "one at most";
        EXPECT_EQ(std::count(o.program.err.begin(), o.program.err.end(), '\n'), 1) << Describe(o);
        EXPECT_TRUE(Contains(o.program.err, "the device is gone")) << Describe(o);
    }
}

TEST_F(LegacyEndToEnd, TheTypeByteIsRepeatedUntilTheLoaderIsReady) {
    const std::string image = WriteImage(PayloadFor('A'), 0x000C0000);
    const Outcome o =
        Run({"--version", "12.0", "--hw", "4", "--expect", image, "--ignore-type", "20"}, {image});
    EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
    EXPECT_TRUE(Contains(o.log, "type byte 0x55 (sent 21 times)")) << o.log;
}

TEST_F(LegacyEndToEnd, TheLengthLimitHoldsAtTheMaximumAndFailsOneByteAbove) {
    // Factory settings are never compressed, so the file decides the length.
    const std::string atLimit = WriteImage(PayloadFor('F', 0x53FFC), 0x000B0001);
    Outcome o =
        Run({"--version", "11.1", "--hw", "4", "--expect", atLimit, "--expect-length", "344060"},
            {"-t", "F", atLimit});
    EXPECT_EQ(o.program.exitCode, 0) << Describe(o);
    EXPECT_EQ(o.box, 0) << Describe(o);

    const std::string above = WriteImage(PayloadFor('F', 0x53FFD), 0x000B0001);
    o = Run({"--version", "11.1", "--hw", "4", "--expect-length", "0"}, {"-t", "F", above});
    EXPECT_EQ(o.program.exitCode, 1) << Describe(o);
    EXPECT_TRUE(Contains(o.program.out,
                         "Filelength exceeds maximum length (compressed size=344061, "
                         "max=344060)\nerror updating image\n"))
        << Describe(o);
    EXPECT_EQ(o.box, 0) << "the box got the length 00 00 00\n" << o.log;
}

}  // namespace
