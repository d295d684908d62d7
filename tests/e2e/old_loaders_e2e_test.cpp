// The real program against the simulated box for the 1.x loaders with their hyper bootloader,
// the 4.11 to 4.13 loaders and the 5.x X-modem loaders: each updates a box end to end, and the
// box must have received the image byte for byte.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/hint_lines.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

const std::string OkLine = "Download successfully finished. (com port: 1)";
const std::string ErrorBannerStart = "\n\t\tEEEEE RRRR  RRRR   OOO   RRRR   !!! ";
const std::string SuccessLine = "Start application         \n\r";
const std::string Done = "Done!                   \n";

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

class OldLoadersE2E : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::TempDir(); }

    // A PAD image with the 5-byte tag for this box.
    std::string WriteImage(uint8_t hardwareType, uint32_t softwareId, size_t payload = 40000,
                           const std::string& name = "image.pad") {
        image_ = test::MakePad(test::RandomBytes(payload, softwareId), 5, hardwareType, softwareId);
        const std::string path = dir_ + "/" + name;
        EXPECT_TRUE(test::WriteFileBytes(path, image_));
        return path;
    }
    std::string Received() const { return dir_ + "/received.bin"; }

    // Runs update on COM1 = the box, in the temporary directory (hyper.pad lands there).
    ProcessResult Update(const std::vector<std::string>& args, int timeoutMs = 120000) {
        std::vector<std::string> argv{UPDATE_BINARY, "-p", "1"};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto start = std::chrono::steady_clock::now();
        ProcessResult result = RunProcess(argv, "", timeoutMs, {box_.ComEnv(1)}, dir_);
        elapsedMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
        return result;
    }

    std::string dir_;
    std::vector<uint8_t> image_;
    BoxSim box_;
    long long elapsedMs_ = 0;
};

struct LoaderRow {
    const char* version;
    uint8_t hardwareType;
    bool hyper;
};

class EveryLoader : public OldLoadersE2E, public ::testing::WithParamInterface<LoaderRow> {};

TEST_P(EveryLoader, UpdatesTheBoxAndTheBoxGetsTheImageByteForByte) {
    const LoaderRow& row = GetParam();
    int major = 0;
    int minor = 0;
    std::sscanf(row.version, "%d.%d", &major, &minor);
    const std::string image =
        WriteImage(row.hardwareType, (static_cast<uint32_t>(major) << 16) + minor);
    ASSERT_TRUE(box_.Start({"--version", row.version, "--hw",
                            test::HardwareTypeArg(row.hardwareType), "--save", Received()}))
        << box_.Log();

    const ProcessResult result = Update({image});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_NE(result.out.find(OkLine), std::string::npos) << result.out;
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    EXPECT_EQ(test::ReadFileBytes(Received()), image_) << box_.Log();
    // hyper.pad was written into the working directory and removed once the box had it.
    EXPECT_FALSE(Exists(dir_ + "/hyper.pad"));
    if (row.hyper) {
        EXPECT_NE(box_.Log().find("holds the hyper bootloader"), std::string::npos) << box_.Log();
    }
    // A build with the stand-in hyper bootloader says so once, before it sends it to a 1.x box.
    EXPECT_EQ(result.err, row.hyper ? StandInLine() : "");
}

INSTANTIATE_TEST_SUITE_P(Versions, EveryLoader,
                         ::testing::Values(LoaderRow{"1.4", 0, true}, LoaderRow{"1.5", 0, true},
                                           LoaderRow{"1.6", 0, true}, LoaderRow{"1.7", 1, true},
                                           LoaderRow{"1.8", 0, true}, LoaderRow{"1.9", 1, true},
                                           LoaderRow{"4.11", 7, false}, LoaderRow{"4.12", 7, false},
                                           LoaderRow{"4.13", 7, false}, LoaderRow{"5.1", 4, false},
                                           LoaderRow{"5.3", 4, false}),
                         [](const auto& caseInfo) {
                             std::string name = std::string("v") + caseInfo.param.version;
                             name[name.find('.')] = '_';
                             return name;
                         });

TEST_F(OldLoadersE2E, HyperPadStaysWhenTheBoxRefusesTheDownload) {
    const std::string image = WriteImage(0, 0x00010006);
    ASSERT_TRUE(box_.Start({"--version", "1.6", "--hw", "0", "--refuse-file"})) << box_.Log();

    const ProcessResult result = Update({image});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_NE(result.err.find("WaitFor error  536870919"), std::string::npos) << result.err;
    EXPECT_EQ(test::ReadFileBytes(dir_ + "/hyper.pad").size(), 35640u);
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
}

TEST_F(OldLoadersE2E, SilentHyperBootloaderIsWokenByRepeatedBlanks) {
    const std::string image = WriteImage(0, 0x00010005, 5000);
    ASSERT_TRUE(
        box_.Start({"--version", "1.5", "--hw", "0", "--hyper-silent", "4", "--save", Received()}))
        << box_.Log();

    const ProcessResult result = Update({image});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    const std::string log = box_.Log();
    EXPECT_NE(log.find("blank 4 ignored"), std::string::npos) << log;
    EXPECT_NE(log.find("blank 5 answered"), std::string::npos) << log;
    EXPECT_GE(elapsedMs_, 4 * 500);
    EXPECT_EQ(test::ReadFileBytes(Received()), image_);
}

TEST_F(OldLoadersE2E, StopFromA411BoxEndsTheUpdateAsSuccess) {
    const std::string image = WriteImage(7, 0x0004000B, 60000);
    ASSERT_TRUE(
        box_.Start({"--version", "4.11", "--hw", "7", "--stop", "5000", "--save", Received()}))
        << box_.Log();

    const ProcessResult result = Update({image});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_NE(result.out.find(OkLine), std::string::npos);
    // No byte sum and no flash programming after STOP.
    EXPECT_EQ(result.out.find("Programming the flash memory..."), std::string::npos);
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    EXPECT_NE(box_.Log().find("STOP sent after 5000 image bytes"), std::string::npos);
    const auto got = test::ReadFileBytes(Received());
    ASSERT_EQ(got.size(), 5000u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), image_.begin()));
}

TEST_F(OldLoadersE2E, RawImageGoesToA412BoxWithItsLeadInRecord) {
    std::vector<uint8_t> raw{0x11, 0x05, 'r', 'e', 'c', 'r', 'd'};
    const auto rest = test::RandomBytes(30000, 42);
    raw.insert(raw.end(), rest.begin(), rest.end());
    const std::string path = dir_ + "/raw.bin";
    ASSERT_TRUE(test::WriteFileBytes(path, raw));
    ASSERT_TRUE(box_.Start({"--version", "4.12", "--hw", "7", "--save", Received()})) << box_.Log();

    const ProcessResult result = Update({"-i", path});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    const std::string log = box_.Log();
    EXPECT_NE(log.find("software id 0x0004000C"), std::string::npos) << log;
    EXPECT_NE(log.find("lead-in record of 5 bytes"), std::string::npos) << log;
    EXPECT_NE(log.find("raw image of 30007 bytes"), std::string::npos) << log;
    EXPECT_EQ(test::ReadFileBytes(Received()), raw);
}

TEST_F(OldLoadersE2E, FailureVerdictPrintsTheBannerBeforeDone) {
    const std::string image = WriteImage(4, 0x00050003);
    ASSERT_TRUE(box_.Start({"--version", "5.3", "--hw", "4", "--verdict", "newer"})) << box_.Log();

    const ProcessResult result = Update({image});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err;
    const size_t line = result.out.find("This is not a newer software version\n\r");
    const size_t banner = result.out.find(ErrorBannerStart);
    const size_t done = result.out.rfind(Done);
    ASSERT_NE(line, std::string::npos) << result.out;
    ASSERT_NE(banner, std::string::npos) << result.out;
    ASSERT_NE(done, std::string::npos) << result.out;
    EXPECT_LT(line, banner);
    EXPECT_LT(banner, done);
    EXPECT_EQ(result.out.find(OkLine), std::string::npos);
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
}

TEST_F(OldLoadersE2E, SuccessLineWithCrLfLeavesTheProgramWaiting) {
    const std::string image = WriteImage(4, 0x00050001, 3000);
    ASSERT_TRUE(box_.Start({"--version", "5.1", "--hw", "4", "--verdict-crlf", "--hold", "60000"}))
        << box_.Log();

    // The program must still be waiting when the test's own limit ends it.
    const ProcessResult result = Update({image}, 6000);
    EXPECT_TRUE(result.timedOut) << result.exitCode << result.out << result.err;
    EXPECT_NE(result.out.find("Start application         \r\n"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(Done), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("EEEEE"), std::string::npos);
    box_.Stop();
    EXPECT_NE(box_.Log().find("success line sent with CR LF"), std::string::npos) << box_.Log();
}

TEST_F(OldLoadersE2E, FailedTransferFollowedBySuccessLineFailsWithoutBanner) {
    const std::string image = WriteImage(4, 0x00050001, 3000, "doomed.pad");
    ASSERT_TRUE(box_.Start({"--version", "5.1", "--hw", "4", "--xmodem-fail", image}))
        << box_.Log();

    const ProcessResult result = Update({image});
    EXPECT_EQ(result.exitCode, 1) << result.out << result.err << box_.Log();
    EXPECT_NE(result.err.find("Cannot open file " + image), std::string::npos) << result.err;
    EXPECT_NE(result.out.find(SuccessLine + Done), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find("EEEEE"), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(OkLine), std::string::npos);
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
}

}  // namespace
