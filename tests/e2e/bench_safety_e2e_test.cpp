// What a technician's bench produces every day, end to end against boxsim: whatever stands at
// the name hyper.pad (a link, another name of a file, a FIFO), a FIFO given as the image, an
// interrupt in the middle of an update, an adapter pulled during the synchronisation, a long
// healthy transfer at the line rate, and the port's settings after the program has ended.
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
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string OkLine = "Download successfully finished. (com port: 1)";
const std::string StillTrying = "Cannot send data to box, still trying.";
const std::string InterruptedEnglish =
    "Update interrupted. Switch the box off and on again before the next attempt.\n";
const std::string InterruptedGerman =
    "Aktualisierung abgebrochen. Die Box vor dem naechsten Versuch aus- und wieder "
    "einschalten.\n";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Everything in the directory whose name begins with "hyper.pad".
std::vector<std::string> HyperPadNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("hyper.pad", 0) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

long long MsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

// The settings of the box's terminal as a program opening it finds them.
struct LineSettings {
    termios settings{};

    static std::optional<LineSettings> Read(const std::string& path) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return std::nullopt;
        }
        LineSettings line;
        const bool ok = tcgetattr(fd, &line.settings) == 0;
        close(fd);
        return ok ? std::optional<LineSettings>(line) : std::nullopt;
    }

    // A state the program never sets: 9600 baud, line editing and echo on, output processed.
    static bool SetCooked(const std::string& path) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            return false;
        }
        termios settings{};
        bool ok = tcgetattr(fd, &settings) == 0;
        settings.c_lflag |= ICANON | ECHO | ISIG;
        settings.c_oflag |= OPOST;
        settings.c_cflag &= ~static_cast<tcflag_t>(CLOCAL);
        cfsetispeed(&settings, B9600);
        cfsetospeed(&settings, B9600);
        ok = ok && tcsetattr(fd, TCSANOW, &settings) == 0;
        close(fd);
        return ok;
    }

    bool operator==(const LineSettings& other) const {
        const termios& a = settings;
        const termios& b = other.settings;
        return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
               a.c_lflag == b.c_lflag && std::equal(a.c_cc, a.c_cc + NCCS, b.c_cc) &&
               cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
    }
};

std::string Describe(const std::optional<LineSettings>& line) {
    if (!line) {
        return "(unreadable)";
    }
    const termios& t = line->settings;
    char text[160];
    std::snprintf(text, sizeof text, "iflag %o oflag %o cflag %o lflag %o speed %u/%u", t.c_iflag,
                  t.c_oflag, t.c_cflag, t.c_lflag, static_cast<unsigned>(cfgetispeed(&t)),
                  static_cast<unsigned>(cfgetospeed(&t)));
    return text;
}

class BenchSafetyE2E : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::TempDir(); }

    // A PAD image with the 5-byte tag for this box, in the working directory.
    std::string WriteImage(uint8_t hardwareType, uint32_t softwareId, size_t payload = 5000) {
        image_ = test::MakePad(test::RandomBytes(payload, softwareId), 5, hardwareType, softwareId);
        const std::string path = dir_ + "/image.pad";
        EXPECT_TRUE(test::WriteFileBytes(path, image_));
        return path;
    }
    std::string Received() const { return dir_ + "/received.bin"; }

    // Runs the program on COM1 = the box, in the working directory.
    ProcessResult Update(const std::vector<std::string>& args, ProcessOptions options = {},
                         const std::string& program = UPDATE_BINARY) {
        std::vector<std::string> argv{program, "-p", "1"};
        argv.insert(argv.end(), args.begin(), args.end());
        options.extraEnv.push_back(box_.ComEnv(1));
        options.workDir = dir_;
        return RunProcessAs(program, argv, options);
    }

    std::string dir_;
    std::vector<uint8_t> image_;
    BoxSim box_;
};

// ---- hyper.pad: whatever stands at the name is replaced, never written through -------------

struct PlantedCase {
    const char* name;
    const char* version;
    int hardwareType;
    // Puts something at dir/hyper.pad; `other` is a file of its own beside it.
    void (*plant)(const std::string& pad, const std::string& other);
};

const PlantedCase PlantedCases[] = {
    {"SymbolicLinkToAFile", "1.6", 0,
     [](const std::string& pad, const std::string& other) {
         ASSERT_EQ(symlink(other.c_str(), pad.c_str()), 0) << std::strerror(errno);
     }},
    {"DanglingSymbolicLink", "1.6", 0,
     [](const std::string& pad, const std::string& other) {
         ASSERT_EQ(symlink((other + ".missing").c_str(), pad.c_str()), 0) << std::strerror(errno);
     }},
    {"HardLinkOfAFile", "1.7", 1,
     [](const std::string& pad, const std::string& other) {
         ASSERT_EQ(link(other.c_str(), pad.c_str()), 0) << std::strerror(errno);
     }},
    {"Fifo", "1.6", 0,
     [](const std::string& pad, const std::string&) {
         ASSERT_EQ(mkfifo(pad.c_str(), 0644), 0) << std::strerror(errno);
     }},
};

class PlantedHyperPad : public BenchSafetyE2E, public ::testing::WithParamInterface<PlantedCase> {};

TEST_P(PlantedHyperPad, IsReplacedTheBoxGetsTheHyperBootloaderAndTheOtherFileStays) {
    const PlantedCase& c = GetParam();
    const std::string other = dir_ + "/other.bin";
    const std::vector<uint8_t> sentinel = test::RandomBytes(1000, 99);
    ASSERT_TRUE(test::WriteFileBytes(other, sentinel));
    c.plant(dir_ + "/hyper.pad", other);
    int minor = 0;
    std::sscanf(c.version, "1.%d", &minor);
    const std::string image = WriteImage(static_cast<uint8_t>(c.hardwareType),
                                         0x00010000u + static_cast<uint32_t>(minor));
    ASSERT_TRUE(box_.Start(
        {"--version", c.version, "--hw", std::to_string(c.hardwareType), "--save", Received()}))
        << box_.Log();

    ProcessOptions options;
    options.timeoutMs = 60000;
    const ProcessResult result = Update({image}, options);
    ASSERT_FALSE(result.timedOut) << result.out << result.err;
    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_TRUE(Contains(result.out, OkLine));
    // boxsim checks that hyper.pad held exactly the built-in hyper bootloader.
    EXPECT_EQ(box_.Wait(10000), 0) << box_.Log();
    EXPECT_TRUE(Contains(box_.Log(), "holds the hyper bootloader")) << box_.Log();
    EXPECT_EQ(test::ReadFileBytes(Received()), image_);
    // The other file is untouched, nothing was made through a link, and hyper.pad is gone once
    // the box has it, as always.
    EXPECT_EQ(test::ReadFileBytes(other), sentinel);
    struct stat info {};
    ASSERT_EQ(stat(other.c_str(), &info), 0);
    EXPECT_EQ(info.st_nlink, 1u);
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"image.pad", "other.bin", "received.bin"}));
}

INSTANTIATE_TEST_SUITE_P(AtTheName, PlantedHyperPad, ::testing::ValuesIn(PlantedCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---- Images only from regular files ---------------------------------------------------------

TEST_F(BenchSafetyE2E, FifoAsImageFailsTheImageCheckAtOnce) {
    const std::string fifo = dir_ + "/image.pad";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0) << std::strerror(errno);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{fifo}, std::vector<std::string>{"-i", fifo}}) {
        // No box: the image is checked before the port is opened.
        std::vector<std::string> argv{UPDATE_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        ProcessOptions options;
        options.timeoutMs = 10000;
        const ProcessResult result = RunProcessAs(UPDATE_BINARY, argv, options);
        std::printf("[ outcome  ] FIFO as image (%s): exit %d after %lld ms\n",
                    args.size() == 1 ? "checked" : "-i", result.exitCode, result.endedMs);
        ASSERT_FALSE(result.timedOut) << args.front();
        EXPECT_EQ(result.exitCode, 1) << args.front();
        EXPECT_EQ(result.out, "Checking file ... failed. Abort!\n") << args.front();
        EXPECT_LT(result.endedMs, 2000) << args.front();
    }
}

// ---- Interrupts -----------------------------------------------------------------------------

struct InterruptCase {
    const char* name;
    int signalNumber;
    std::vector<std::string> box;
    uint8_t hardwareType;
    uint32_t softwareId;
    size_t payload;
    std::string after;  // the text on which the signal is sent (empty: the start)
    int delayMs;
    bool german;
};

const InterruptCase InterruptCases[] = {
    // hyper.pad stands in the directory while the box takes it.
    {"CtrlCWhileA16BoxTakesHyperPad",
     SIGINT,
     {"--version", "1.6", "--hw", "0", "--pace"},
     0,
     0x00010006,
     5000,
     "% transfered",
     0,
     false},
    {"TerminationDuringA244Transfer",
     SIGTERM,
     {"--version", "24.4", "--hw", "0x14", "--pace"},
     0x14,
     0x00180004,
     200000,
     "% transmitted",
     300,
     false},
    // The box never answers: the digit synchronisation goes on until the interrupt.
    {"HangUpDuringTheSynchronisation",
     SIGHUP,
     {"--version", "24.4", "--hw", "0x14", "--silent"},
     0x14,
     0x00180004,
     5000,
     "",
     2500,
     true},
};

class Interrupted : public BenchSafetyE2E, public ::testing::WithParamInterface<InterruptCase> {};

TEST_P(Interrupted, EndsByTheSignalWithTheNoticeThePortAsFoundAndNoHyperPad) {
    const InterruptCase& c = GetParam();
    const std::string image = WriteImage(c.hardwareType, c.softwareId, c.payload);
    std::vector<std::string> boxArgs = c.box;
    boxArgs.insert(boxArgs.end(), {"--step-timeout", "60000"});
    ASSERT_TRUE(box_.Start(boxArgs)) << box_.Log();
    ASSERT_TRUE(LineSettings::SetCooked(box_.Path()));
    const auto before = LineSettings::Read(box_.Path());
    ASSERT_TRUE(before);

    ProcessOptions options;
    options.timeoutMs = 60000;
    options.signalNumber = c.signalNumber;
    options.signalAfterText = c.after;
    options.signalDelayMs = c.delayMs;
    const ProcessResult result =
        Update({image}, options, c.german ? AKTUALISIEREN_BINARY : UPDATE_BINARY);
    const auto after = LineSettings::Read(box_.Path());
    box_.Stop();
    const std::string story = "exit " + std::to_string(result.exitCode) + "\n--- out:\n" +
                              result.out + "\n--- err:\n" + result.err;
    std::printf("[ outcome  ] %s: signal %d after %lld ms, ended %lld ms later\n", c.name,
                c.signalNumber, result.signalSentMs, result.endedMs - result.signalSentMs);

    ASSERT_FALSE(result.timedOut) << story;
    ASSERT_GE(result.signalSentMs, 0) << story;
    // The shell sees the interrupt: the process ended by the same signal.
    EXPECT_EQ(result.exitCode, 128 + c.signalNumber) << story;
    EXPECT_LT(result.endedMs - result.signalSentMs, 1000) << story;
    // The open line (a progress line ends with "\r") is ended, then the notice follows.
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n') << story;
    EXPECT_EQ(result.err, c.german ? InterruptedGerman : InterruptedEnglish) << story;
    EXPECT_FALSE(Contains(result.out, OkLine));
    EXPECT_TRUE(after && *after == *before)
        << "before: " << Describe(before) << "\nafter:  " << Describe(after);
    EXPECT_TRUE(HyperPadNames(dir_).empty());
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupted, ::testing::ValuesIn(InterruptCases),
                         [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

// ---- The port's settings after the ends that are not interrupts -------------------------------

// A long healthy transfer at the line rate: the waits for the box's acknowledgements add up to
// far more than 5 s, yet the box is never silent for 5 s. The port is closed after the success
// and has its settings as found.
TEST_F(BenchSafetyE2E, PacedTransferShowsNoStillTryingAndLeavesThePortAsFound) {
    const std::string image = WriteImage(0x14, 0x00180004, 100000);
    ASSERT_TRUE(box_.Start({"--version", "24.4", "--hw", "0x14", "--pace", "--save", Received(),
                            "--boxes", "2", "--step-timeout", "60000"}))
        << box_.Log();
    ASSERT_TRUE(LineSettings::SetCooked(box_.Path()));
    const auto before = LineSettings::Read(box_.Path());

    const auto start = Clock::now();
    const ProcessResult result = Update({image});
    const long long ms = MsBetween(start, Clock::now());
    const auto after = LineSettings::Read(box_.Path());
    box_.Stop();
    std::printf("[ outcome  ] paced transfer of %zu bytes: exit %d after %lld ms\n", image_.size(),
                result.exitCode, ms);

    ASSERT_EQ(result.exitCode, 0) << result.out << result.err << box_.Log();
    EXPECT_GT(ms, 9000) << "the transfer was not paced";
    EXPECT_FALSE(Contains(result.out, StillTrying)) << result.out;
    EXPECT_EQ(test::ReadFileBytes(Received()), image_);
    EXPECT_TRUE(after && *after == *before)
        << "before: " << Describe(before) << "\nafter:  " << Describe(after);
}

// A failure after which the program ends with the link still open (the legacy path reports and
// ends): the settings go back all the same.
TEST_F(BenchSafetyE2E, FailureWithTheLinkOpenLeavesThePortAsFound) {
    // A legacy application image must carry its mark at 0x4000; this one does not.
    const std::string image = WriteImage(4, 0x000B0001, 0x5000);
    ASSERT_TRUE(box_.Start({"--version", "11.1", "--hw", "4"})) << box_.Log();
    ASSERT_TRUE(LineSettings::SetCooked(box_.Path()));
    const auto before = LineSettings::Read(box_.Path());

    const ProcessResult result = Update({image});
    const auto after = LineSettings::Read(box_.Path());
    box_.Stop();

    ASSERT_EQ(result.exitCode, 1) << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, "invalid flash application")) << result.out;
    EXPECT_TRUE(after && *after == *before)
        << "before: " << Describe(before) << "\nafter:  " << Describe(after);
}

// ---- A device that goes away ----------------------------------------------------------------

// The line is pulled at the program's 10th byte: the keyword is 8 bytes, so the synchronisation
// has sent two digits. The write that follows finds the device gone, and the run ends.
TEST_F(BenchSafetyE2E, LinePulledDuringTheSynchronisationEndsTheRunWithinASecond) {
    const std::string image = WriteImage(0x14, 0x00180004);
    ASSERT_TRUE(box_.Start({"--version", "24.4", "--hw", "0x14", "--hangup-after", "10"}))
        << box_.Log();
    Clock::time_point pulled{};
    std::thread watcher([this, &pulled] {
        box_.Wait(30000);  // boxsim ends as it pulls the line
        pulled = Clock::now();
    });
    ProcessOptions options;
    options.timeoutMs = 20000;
    const ProcessResult result = Update({image}, options);
    const auto ended = Clock::now();
    watcher.join();
    const long long afterPull = MsBetween(pulled, ended);
    std::printf("[ outcome  ] line pulled: exit %d, %lld ms after the pull, stderr \"%s\"\n",
                result.exitCode, afterPull, result.err.c_str());

    ASSERT_FALSE(result.timedOut) << result.err.size() << " bytes on stderr";
    EXPECT_TRUE(Contains(box_.Log(), "line pulled")) << box_.Log();
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err, "WriteFile error  995\n");
    EXPECT_LT(afterPull, 1000);
}

}  // namespace
