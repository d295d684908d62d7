// What a technician's bench produces every day, end to end against boxsim: whatever stands at
// the name hyper.pad, a FIFO given as the image, interrupts in every kind of wait, an adapter
// pulled during the synchronisation, a long healthy transfer at the line rate, and the port's
// settings after the program has ended.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/hint_lines.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string OkLine = "Download successfully finished. (com port: 1)";
const std::string Notice[] = {
    "Update interrupted. Switch the box off and on again before the next attempt.\n",
    "Aktualisierung abgebrochen. Die Box vor dem naechsten Versuch aus- und wieder "
    "einschalten.\n"};
// At the loop question the last box is done: nothing was running when the run was stopped.
const std::string BetweenBoxes[] = {
    "Stopped between boxes: the last box was updated, and no update was running.\n",
    "Zwischen zwei Boxen beendet: die letzte Box wurde aktualisiert, und keine Aktualisierung "
    "lief.\n"};

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The terminal's settings as a program opening it finds them, as text for the comparison.
std::string Settings(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    const bool ok = fd >= 0 && tcgetattr(fd, &t) == 0;
    close(fd);
    std::string text = ok ? "" : "unreadable";
    for (const unsigned value :
         {t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, cfgetispeed(&t), cfgetospeed(&t),
          unsigned{t.c_cc[VMIN]}, unsigned{t.c_cc[VTIME]}}) {
        text += " " + std::to_string(value);
    }
    return text;
}

// A state the program never sets: 9600 baud, line editing and echo on, output processed.
void SetCooked(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_oflag |= OPOST;
    t.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
    cfsetspeed(&t, B9600);
    ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
    close(fd);
}

class BenchSafetyE2E : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::TempDir(); }

    // A PAD image with the 5-byte tag, in the working directory.
    std::string WriteImage(uint8_t hardwareType, uint32_t softwareId, size_t payload = 5000) {
        image_ = test::MakePad(test::RandomBytes(payload, softwareId), 5, hardwareType, softwareId);
        EXPECT_TRUE(test::WriteFileBytes(dir_ + "/image.pad", image_));
        return dir_ + "/image.pad";
    }
    // Starts the box and puts its terminal into a state of its own (see SetCooked).
    void StartBox(std::vector<std::string> args) {
        args.insert(args.end(), {"--save", dir_ + "/received.bin", "--step-timeout", "60000"});
        ASSERT_TRUE(box_.Start(args)) << box_.Log();
        SetCooked(box_.Path());
        before_ = Settings(box_.Path());
    }
    // Runs argv (the program, perhaps behind another) on COM1 = the box, in the directory.
    ProcessResult Run(const std::vector<std::string>& argv, ProcessOptions options = {}) {
        options.extraEnv.push_back(box_.ComEnv(1));
        options.workDir = dir_;
        return RunProcessAs(argv[0], argv, options);
    }

    std::string dir_;
    std::vector<uint8_t> image_;
    BoxSim box_;
    std::string before_;
};

// ---- hyper.pad: whatever stands at the name is replaced, never written through -------------

struct PlantedCase {
    const char* name;
    const char* version;  // 1.6 or 1.7
    int (*plant)(const char* other, const char* pad);
};

class PlantedHyperPad : public BenchSafetyE2E, public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedHyperPad, IsReplacedTheBoxGetsTheHyperBootloaderAndTheOtherFileStays) {
    const PlantedCase& c = GetParam();
    const bool typeOne = std::string(c.version) == "1.7";
    const std::string other = dir_ + "/other.bin";
    const std::vector<uint8_t> sentinel = test::RandomBytes(1000, 99);
    ASSERT_TRUE(test::WriteFileBytes(other, sentinel));
    ASSERT_EQ(c.plant(other.c_str(), (dir_ + "/hyper.pad").c_str()), 0) << std::strerror(errno);
    const std::string image = WriteImage(typeOne ? 1 : 0, typeOne ? 0x00010007 : 0x00010006);
    StartBox({"--version", c.version, "--hw", typeOne ? "1" : "0"});

    const ProcessResult result = Run({UPDATE_BINARY, image});
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    // boxsim checks that hyper.pad held exactly the built-in hyper bootloader.
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    EXPECT_EQ(test::ReadFileBytes(dir_ + "/received.bin"), image_);
    // The other file is untouched, nothing was made through a link, and hyper.pad is gone once
    // the box has it, as always.
    EXPECT_EQ(test::ReadFileBytes(other), sentinel);
    struct stat info {};
    ASSERT_EQ(stat(other.c_str(), &info), 0);
    EXPECT_EQ(info.st_nlink, 1u);
    EXPECT_EQ(test::DirectoryNames(dir_),
              (std::vector<std::string>{"image.pad", "other.bin", "received.bin"}));
}

INSTANTIATE_TEST_SUITE_P(
    AtTheName, PlantedHyperPad,
    ::testing::Values(
        PlantedCase{"SymbolicLink", "1.6",
                    [](const char* o, const char* p) { return symlink(o, p); }},
        PlantedCase{"DanglingSymbolicLink", "1.6",
                    [](const char*, const char* p) { return symlink("missing.bin", p); }},
        PlantedCase{"HardLink", "1.7", [](const char* o, const char* p) { return link(o, p); }},
        PlantedCase{"Fifo", "1.6", [](const char*, const char* p) { return mkfifo(p, 0644); }}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---- Images only from regular files ---------------------------------------------------------

TEST_F(BenchSafetyE2E, FifoAsImageFailsTheImageCheckAtOnce) {
    const std::string fifo = dir_ + "/image.pad";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << std::strerror(errno);
    // No box: the image is checked before the port is opened.
    for (const auto& argv : {std::vector<std::string>{UPDATE_BINARY, fifo},
                             std::vector<std::string>{UPDATE_BINARY, "-i", fifo}}) {
        const ProcessResult result = RunProcess(argv, "", 10000);
        std::printf("[ outcome  ] FIFO as image (%zu arguments): exit %d after %lld ms\n",
                    argv.size() - 1, result.exitCode, result.endedMs);
        EXPECT_EQ(result.exitCode, 1);
        EXPECT_EQ(result.out, "Checking file ... failed. Abort!\n");
        EXPECT_LT(result.endedMs, 2000);
    }
}

// ---- Interrupts -----------------------------------------------------------------------------

struct InterruptCase {
    const char* name;
    int signalNumber;
    std::vector<std::string> box;
    std::vector<std::string> image;  // hardware type, software id, payload size
    std::string after;               // the output on which the signal is sent (empty: start)
    int delayMs;
    int language;   // 1: run as aktualisieren
    bool loopMode;  // -l, with the input left open: the interrupt meets the loop question
};

const InterruptCase InterruptCases[] = {
    // hyper.pad stands in the directory while the box takes it.
    {"CtrlCWhileA16BoxTakesHyperPad",
     SIGINT,
     {"--version", "1.6", "--hw", "0", "--pace"},
     {"0", "0x00010006", "5000"},
     "% transfered",
     0,
     0,
     false},
    {"TerminationDuringA244Transfer",
     SIGTERM,
     {"--version", "24.4", "--hw", "0x14", "--pace"},
     {"0x14", "0x00180004", "200000"},
     "% transmitted",
     300,
     0,
     false},
    // The box never answers: the digit synchronisation goes on until the interrupt.
    {"HangUpDuringTheSynchronisation",
     SIGHUP,
     {"--version", "24.4", "--hw", "0x14", "--silent"},
     {"0x14", "0x00180004", "5000"},
     "",
     2500,
     1,
     false},
    {"CtrlCAtTheLoopQuestion",
     SIGINT,
     {"--version", "24.4", "--hw", "0x14", "--boxes", "2"},
     {"0x14", "0x00180004", "5000"},
     "Update another box (y/n)? [y]\n",
     200,
     0,
     true},
    {"TerminationAtTheLoopQuestionInGerman",
     SIGTERM,
     {"--version", "24.4", "--hw", "0x14", "--boxes", "2"},
     {"0x14", "0x00180004", "5000"},
     "Update another box (y/n)? [y]\n",
     200,
     1,
     true},
};

class Interrupted : public BenchSafetyE2E, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(Interrupted, EndsByTheSignalWithTheNoticeThePortAsFoundAndNoHyperPad) {
    const InterruptCase& c = GetParam();
    const std::string image = WriteImage(static_cast<uint8_t>(std::stoul(c.image[0], nullptr, 0)),
                                         static_cast<uint32_t>(std::stoul(c.image[1], nullptr, 0)),
                                         std::stoul(c.image[2]));
    StartBox(c.box);
    ProcessOptions options;
    options.signalNumber = c.signalNumber;
    options.signalAfterText = c.after;
    options.signalDelayMs = c.delayMs;
    options.closeStdin = !c.loopMode;
    std::vector<std::string> argv{c.language == 1 ? AKTUALISIEREN_BINARY : UPDATE_BINARY, image};
    if (c.loopMode) {
        argv.insert(argv.begin() + 1, "-l");
    }
    const ProcessResult result = Run(argv, options);
    const std::string after = Settings(box_.Path());
    box_.Stop();
    const std::string story = "--- out:\n" + result.out + "\n--- err:\n" + result.err;
    std::printf("[ outcome  ] %s: signal %d after %lld ms, ended %lld ms later\n", c.name,
                c.signalNumber, result.signalSentMs, result.endedMs - result.signalSentMs);

    ASSERT_GE(result.signalSentMs, 0) << story;
    // The shell sees the interrupt: the process ended by the same signal.
    EXPECT_EQ(result.exitCode, 128 + c.signalNumber) << story;
    EXPECT_LT(result.endedMs - result.signalSentMs, 1000) << story;
    // The open line (a progress line ends with "\r") is ended, then the notice follows.
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n') << story;
    // A 1.x box is given the hyper bootloader, and a build with the stand-in says so first.
    const auto version = std::find(c.box.begin(), c.box.end(), std::string("--version"));
    const bool hyper = version + 1 < c.box.end() && (version + 1)->starts_with("1.");
    // At the loop question the box was updated: the run was stopped between boxes.
    const std::string notice = c.loopMode ? BetweenBoxes[c.language] : Notice[c.language];
    EXPECT_EQ(result.err, (hyper ? StandInLine() : std::string()) + notice) << story;
    EXPECT_EQ(after, before_);
    for (const std::string& name : test::DirectoryNames(dir_)) {
        EXPECT_NE(name.rfind("hyper.pad", 0), 0u) << name << " left behind";
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::ValuesIn(InterruptCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// A signal ignored when the program starts (nohup) stays ignored: the update goes on.
TEST_F(BenchSafetyE2E, HangUpUnderNohupIsIgnored) {
    const std::string image = WriteImage(0x14, 0x00180004, 30000);
    StartBox({"--version", "24.4", "--hw", "0x14", "--pace"});
    ProcessOptions options;
    options.signalNumber = SIGHUP;
    options.signalAfterText = "% transmitted";
    const ProcessResult result = Run({"/usr/bin/nohup", UPDATE_BINARY, image}, options);
    ASSERT_GE(result.signalSentMs, 0);
    EXPECT_EQ(result.exitCode, 0) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, OkLine));
    EXPECT_EQ(test::ReadFileBytes(dir_ + "/received.bin"), image_);
}

// ---- The port's settings after the ends that are not interrupts -------------------------------

// A long healthy transfer at the line rate: the waits for the box's acknowledgements add up to
// far more than 5 s, yet the box is never silent for 5 s. After the success the port has its
// settings as found (boxsim waits for a second box meanwhile, so the terminal stays).
TEST_F(BenchSafetyE2E, PacedTransferShowsNoStillTryingAndLeavesThePortAsFound) {
    const std::string image = WriteImage(0x14, 0x00180004, 100000);
    StartBox({"--version", "24.4", "--hw", "0x14", "--pace", "--boxes", "2"});
    const ProcessResult result = Run({UPDATE_BINARY, image});
    EXPECT_EQ(Settings(box_.Path()), before_);
    box_.Stop();
    std::printf("[ outcome  ] paced transfer of %zu bytes: exit %d after %lld ms\n", image_.size(),
                result.exitCode, result.endedMs);
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_GT(result.endedMs, 9000) << "the transfer was not paced";
    EXPECT_FALSE(Contains(result.out, "Cannot send data to box, still trying.")) << result.out;
    EXPECT_EQ(test::ReadFileBytes(dir_ + "/received.bin"), image_);
}

// A failure after which the program ends with the link still open (the legacy path reports and
// ends): the settings go back all the same.
TEST_F(BenchSafetyE2E, FailureWithTheLinkOpenLeavesThePortAsFound) {
    // A legacy application image must carry its mark at 0x4000; this one does not.
    const std::string image = WriteImage(4, 0x000B0001, 0x5000);
    StartBox({"--version", "11.1", "--hw", "4"});
    const ProcessResult result = Run({UPDATE_BINARY, image});
    EXPECT_EQ(Settings(box_.Path()), before_);
    ASSERT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "invalid flash application")) << result.out;
}

// ---- A device that goes away ----------------------------------------------------------------

// The line is pulled at the program's 10th byte: the keyword is 8 bytes, so the synchronisation
// has sent two digits. The next write or read finds the device gone, and the run ends.
TEST_F(BenchSafetyE2E, LinePulledDuringTheSynchronisationEndsTheRunWithinASecond) {
    const std::string image = WriteImage(0x14, 0x00180004);
    StartBox({"--version", "24.4", "--hw", "0x14", "--hangup-after", "10"});
    Clock::time_point pulled{};
    std::thread watcher([this, &pulled] {
        box_.Wait(30000);  // boxsim ends as it pulls the line
        pulled = Clock::now();
    });
    ProcessOptions options;
    options.timeoutMs = 20000;
    const ProcessResult result = Run({UPDATE_BINARY, image}, options);
    const auto ended = Clock::now();
    watcher.join();
    const auto afterPull = std::chrono::duration_cast<std::chrono::milliseconds>(ended - pulled);
    std::printf("[ outcome  ] line pulled: exit %d, %lld ms after the pull\n", result.exitCode,
                static_cast<long long>(afterPull.count()));

    ASSERT_FALSE(result.timedOut) << result.err.size() << " bytes on standard error";
    EXPECT_TRUE(Contains(box_.Log(), "line pulled")) << box_.Log();
    EXPECT_EQ(result.exitCode, 1);
    // The failure line, then one line that says the device is gone.
    ASSERT_TRUE(result.err.starts_with("WriteFile error  995\nPort 1 (")) << result.err;
    EXPECT_TRUE(Contains(result.err, "the device is gone")) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 2) << result.err;
    EXPECT_LT(afterPull.count(), 1000);
}

}  // namespace
