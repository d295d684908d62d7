// The simulated box's access handshake, from the program's side of the pseudo-terminal: first
// with a small hand-driven program side that sets the line speed itself, then with the
// program's own port and handshake code.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/settings.h"
#include "frontend/session.h"
#include "platform/platform.h"
#include "serial/serial_link.h"
#include "tests/support/boxsim_runner.h"
#include "tests/support/pad_builder.h"
#include "tools/boxsim/box_line.h"
#include "tools/boxsim/box_options.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

speed_t SpeedCode(uint32_t baud) {
    switch (baud) {
        case 9600:
            return B9600;
        case 38400:
            return B38400;
        default:
            return B115200;
    }
}

// The program's end of the line, driven by hand: raw 8N1 at a chosen speed.
class ProgramSide {
  public:
    ~ProgramSide() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    bool Open(const std::string& path, uint32_t baud, bool rtsCts = false) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        if (fd_ < 0) {
            return false;
        }
        termios settings{};
        tcgetattr(fd_, &settings);
        cfmakeraw(&settings);
        settings.c_cflag |= CLOCAL | CREAD;
        if (rtsCts) {
            settings.c_cflag |= CRTSCTS;
        }
        cfsetspeed(&settings, SpeedCode(baud));
        return tcsetattr(fd_, TCSANOW, &settings) == 0;
    }
    void SetBaud(uint32_t baud) {
        termios settings{};
        tcgetattr(fd_, &settings);
        cfsetspeed(&settings, SpeedCode(baud));
        tcsetattr(fd_, TCSANOW, &settings);
    }
    void Send(const std::string& bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Everything that arrives until the line has been quiet for quietMs.
    std::string ReadQuiet(int quietMs) {
        std::string got;
        for (;;) {
            pollfd fd{fd_, POLLIN, 0};
            if (poll(&fd, 1, quietMs) <= 0) {
                return got;
            }
            char chunk[512];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) {
                return got;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
    }
    // Reads until `count` bytes have arrived or limitMs passed.
    std::string ReadCount(size_t count, int limitMs) {
        std::string got;
        const auto start = Clock::now();
        while (got.size() < count && MsSince(start) < limitMs) {
            pollfd fd{fd_, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(limitMs - MsSince(start))) <= 0) {
                break;
            }
            char chunk[512];
            const ssize_t n = read(fd_, chunk, std::min(sizeof chunk, count - got.size()));
            if (n <= 0) {
                break;
            }
            got.append(chunk, static_cast<size_t>(n));
        }
        return got;
    }

  private:
    int fd_ = -1;
};

std::string Garbled(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        c = static_cast<char>(static_cast<uint8_t>(c) ^ 0xA5);
    }
    return out;
}

// ---- The box's side of the handshake, against the hand-driven program side -------------------

struct AccessCase {
    const char* name;
    std::vector<std::string> args;
    std::string keyword;
    bool granted;        // the box answers "granted" after the keyword
    std::string digits;  // digits sent one by one ("" for a box without synchronisation)
    std::vector<std::string> echoes;  // what comes back for each digit
    std::string version;              // what comes after 0xAF 0xFE (or after the keyword)
};

const AccessCase AccessCases[] = {
    {"streaming box 24.4",
     {"--version", "24.4", "--hw", "0x14"},
     " korvane",
     true,
     "01",
     {"0", "1"},
     "\r\nBootloader Version 24.4\r\n"},
    {"service keyword",
     {"--version", "24.4", "--hw", "0x16"},
     "qlumatek",
     true,
     "01",
     {"0", "1"},
     "\r\nBootloader Version 24.4\r\n"},
    {"menu loader without synchronisation",
     {"--version", "4.24", "--hw", "0x12"},
     " korvane",
     false,
     "",
     {},
     "\r\nBootloader Version 4.24\r\n"},
    {"4.12 loader: synchronisation without granted",
     {"--version", "4.12", "--hw", "7"},
     " korvane",
     false,
     "01",
     {"0", "1"},
     "\r\nBootloader Version 4.12\r\n"},
    {"4.12 loader on a synchronising type answers granted",
     {"--version", "4.12", "--hw", "0x14"},
     " korvane",
     true,
     "01",
     {"0", "1"},
     "\r\nBootloader Version 4.12\r\n"},
    {"hexadecimal version line",
     {"--version", "24.4", "--hw", "0x14", "--version-hex"},
     " korvane",
     true,
     "01",
     {"0", "1"},
     "\r\nBootloader Version: 18.4\r\n"},
    {"blank after each echo",
     {"--version", "24.4", "--hw", "0x14", "--echo-blank"},
     " korvane",
     true,
     "01",
     {"0 ", "1 "},
     "\r\nBootloader Version 24.4\r\n"},
    {"second echo missing",
     {"--version", "24.4", "--hw", "0x14", "--echo-miss", "2"},
     " korvane",
     true,
     "0123",
     {"0", "", "2", "3"},
     "\r\nBootloader Version 24.4\r\n"},
    {"literal version line",
     {"--version", "4.24", "--hw", "0x12", "--version-line=BBootloader Version 1.4\\r\\n"},
     " korvane",
     false,
     "",
     {},
     "BBootloader Version 1.4\r\n"},
    {"forced off",
     {"--version", "24.4", "--hw", "0x14", "--no-sync"},
     " lumatek",
     false,
     "",
     {},
     "\r\nBootloader Version 24.4\r\n"},
    {"forced without granted",
     {"--version", "24.4", "--hw", "0x12", "--no-granted"},
     " korvane",
     false,
     "5",
     {"5"},
     "\r\nBootloader Version 24.4\r\n"},
};

TEST(BoxsimAccess, PlaysTheBoxSideOfTheHandshake) {
    for (const AccessCase& c : AccessCases) {
        SCOPED_TRACE(c.name);
        BoxSim box;
        ASSERT_TRUE(box.Start(c.args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 115200));
        program.Send("\r\n" + c.keyword);  // noise before the keyword is skipped
        if (c.granted) {
            EXPECT_EQ(program.ReadCount(7, 1000), "granted");
        } else if (c.digits.empty()) {
            EXPECT_EQ(program.ReadCount(c.version.size(), 1000), c.version);
        }
        if (!c.digits.empty()) {
            EXPECT_EQ(program.ReadQuiet(200), "") << "nothing more before the first digit";
        }
        for (size_t i = 0; i < c.digits.size(); ++i) {
            program.Send(std::string(1, c.digits[i]));
            EXPECT_EQ(program.ReadQuiet(100), c.echoes[i]) << "digit " << c.digits[i];
        }
        if (!c.digits.empty()) {
            program.Send("\xAF\xFE");
            EXPECT_EQ(program.ReadCount(c.version.size(), 1000), c.version);
        }
        box.Stop();
        const std::string log = box.Log();
        EXPECT_NE(log.find("keyword \"" + c.keyword + "\" received"), std::string::npos) << log;
        EXPECT_EQ(log.find("violation: keyword"), std::string::npos) << log;
    }
}

TEST(BoxsimAccess, LogsTheProgramsLineSettings) {
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "4.24", "--hw", "0x12"})) << box.Log();
    ProgramSide program;
    ASSERT_TRUE(program.Open(box.Path(), 115200, true));
    program.Send(" korvane");
    EXPECT_EQ(program.ReadCount(27, 1000), "\r\nBootloader Version 4.24\r\n");
    box.Stop();
    EXPECT_NE(box.Log().find("(program at 115200 baud, RTS/CTS on)"), std::string::npos)
        << box.Log();
}

// A keyword of the wrong kind, or not the one demanded, is a violation: the box answers nothing
// and boxsim ends by itself with status 1.
TEST(BoxsimAccess, RefusesTheWrongKeyword) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string keyword;
    } cases[] = {
        {"demanded keyword",
         {"--version", "24.4", "--hw", "0x14", "--keyword", "qkorvane"},
         " korvane"},
        {"legacy keyword at a bootloader", {"--version", "24.4", "--hw", "0x14"}, "pelmorant"},
        {"access keyword at a legacy loader", {"--version", "11.1", "--hw", "4"}, " korvane"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BoxSim box;
        ASSERT_TRUE(box.Start(c.args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 115200));
        program.Send(c.keyword);
        EXPECT_EQ(program.ReadQuiet(200), "");
        EXPECT_EQ(box.Wait(5000), 1) << box.Log();
        EXPECT_NE(box.Log().find("violation: keyword \"" + c.keyword + "\""), std::string::npos)
            << box.Log();
    }
}

TEST(BoxsimAccess, LegacyLoaderOnlyTakesTheKeyword) {
    for (const char* keyword : {"pelmorant", "stravinol"}) {
        SCOPED_TRACE(keyword);
        BoxSim box;
        ASSERT_TRUE(box.Start({"--version", "12.3", "--hw", "4"})) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 115200));
        program.Send(keyword);
        program.ReadQuiet(300);  // whatever the legacy loader itself answers
        box.Stop();
        const std::string log = box.Log();
        EXPECT_NE(log.find(std::string("keyword \"") + keyword + "\" received"), std::string::npos)
            << log;
        EXPECT_EQ(log.find("granted sent"), std::string::npos) << log;
        EXPECT_EQ(log.find("version sent"), std::string::npos) << log;
    }
}

// A UART at the wrong speed: what the program sends arrives garbled, so the keyword is never
// seen; set to the right speed, the same box answers.
TEST(BoxsimAccess, ProgramAtTheWrongSpeedGetsNoAnswer) {
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14"})) << box.Log();
    ProgramSide program;
    ASSERT_TRUE(program.Open(box.Path(), 38400));
    program.Send(" korvane");
    EXPECT_EQ(program.ReadQuiet(500), "");
    program.SetBaud(115200);
    program.Send(" korvane");
    EXPECT_EQ(program.ReadQuiet(200), "granted");
    box.Stop();
    const std::string log = box.Log();
    EXPECT_NE(log.find("speeds differ (program 38400 baud, box 115200 baud): input garbled"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("speeds agree again"), std::string::npos) << log;
}

// Box at 38400 for hardware types 0 and 1 unless --baud says otherwise.
TEST(BoxsimAccess, BoxSpeedFollowsTheHardwareType) {
    struct Case {
        std::vector<std::string> args;
        uint32_t rightBaud;
        uint32_t wrongBaud;
    } cases[] = {
        {{"--version", "1.7", "--hw", "1"}, 38400, 115200},
        {{"--version", "4.24", "--hw", "2"}, 115200, 38400},
        {{"--version", "4.24", "--hw", "0x12", "--baud", "9600"}, 9600, 115200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[3]);
        BoxSim box;
        ASSERT_TRUE(box.Start(c.args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), c.wrongBaud));
        program.Send(" korvane");
        EXPECT_EQ(program.ReadQuiet(300), "");
        program.SetBaud(c.rightBaud);
        program.Send(" korvane");
        EXPECT_NE(program.ReadQuiet(300).find("Bootloader Version"), std::string::npos);
    }
}

// --slow-keyword: the keyword must come at 9600 baud; the box answers at its own speed, so a
// program that stays at 9600 reads garbage.
TEST(BoxsimAccess, SlowKeyword) {
    const std::vector<std::string> args = {"--version",      "4.24",           "--hw", "0x12",
                                           "--slow-keyword", "--step-timeout", "1000"};
    const std::string version = "\r\nBootloader Version 4.24\r\n";
    {
        SCOPED_TRACE("program switches back");
        BoxSim box;
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 9600));
        program.Send(" korvane");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        program.SetBaud(115200);
        EXPECT_EQ(program.ReadCount(version.size(), 1000), version);
    }
    {
        SCOPED_TRACE("program stays at 9600");
        BoxSim box;
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 9600));
        program.Send(" korvane");
        EXPECT_EQ(program.ReadCount(version.size(), 3000), Garbled(version));
    }
    {
        SCOPED_TRACE("keyword at full speed");
        BoxSim box;
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 115200));
        program.Send(" korvane");
        EXPECT_EQ(program.ReadQuiet(500), "");
    }
}

TEST(BoxsimAccess, SilentBoxCountsKeywordsAndNeverAnswers) {
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "24.4", "--hw", "0x14", "--silent"})) << box.Log();
    ProgramSide program;
    ASSERT_TRUE(program.Open(box.Path(), 115200));
    program.Send(" korvane");
    EXPECT_EQ(program.ReadQuiet(200), "");
    program.Send("0 korvane");
    EXPECT_EQ(program.ReadQuiet(200), "");
    EXPECT_EQ(box.Stop(), 0) << box.Log();
    EXPECT_NE(box.Log().find("keyword \" korvane\" received, not answered (2)"), std::string::npos)
        << box.Log();
}

// Pacing: 1,000 bytes at 9600 baud take 10,000 bit times, about 1.04 s; unpaced they come at
// once.
TEST(BoxsimAccess, PacingSendsAtTheLineRate) {
    const std::string line(1000, 'x');
    for (bool pace : {true, false}) {
        SCOPED_TRACE(pace ? "paced" : "unpaced");
        std::vector<std::string> args = {"--version", "4.24", "--hw",           "0x12",
                                         "--baud",    "9600", "--version-line", line};
        if (pace) {
            args.push_back("--pace");
        }
        BoxSim box;
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 9600));
        const auto start = Clock::now();
        program.Send(" korvane");
        EXPECT_EQ(program.ReadCount(line.size(), 5000), line);
        const long took = MsSince(start);
        if (pace) {
            EXPECT_GE(took, 1000);
            EXPECT_LT(took, 2500);
        } else {
            EXPECT_LT(took, 500);
        }
    }
}

// ---- Exit status, the link, the command line ----------------------------------------------------

// A version without a family player: the box plays the access and then listens until the line
// is quiet for --timeout ms.
TEST(BoxsimProgram, ExitStatusTellsHowThePlayEnded) {
    const std::vector<std::string> base = {"--version", "30.1", "--hw", "0x12", "--timeout", "800"};
    {
        SCOPED_TRACE("every box played");
        std::vector<std::string> args = base;
        args.insert(args.end(), {"--boxes", "2"});
        BoxSim box;
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 115200));
        for (int i = 0; i < 2; ++i) {
            program.Send(" korvane");
            EXPECT_EQ(program.ReadQuiet(100), "\r\nBootloader Version 30.1\r\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        }
        EXPECT_EQ(box.Wait(5000), 0) << box.Log();
    }
    {
        SCOPED_TRACE("second box never came");
        std::vector<std::string> args = base;
        args.insert(args.end(), {"--boxes", "2"});
        BoxSim box;
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramSide program;
        ASSERT_TRUE(program.Open(box.Path(), 115200));
        program.Send(" korvane");
        EXPECT_EQ(program.ReadQuiet(100), "\r\nBootloader Version 30.1\r\n");
        EXPECT_EQ(box.Wait(5000), 4) << box.Log();
    }
    {
        SCOPED_TRACE("program never came");
        BoxSim box;
        ASSERT_TRUE(box.Start(base)) << box.Log();
        EXPECT_EQ(box.Wait(5000), 3) << box.Log();
        EXPECT_NE(box.Log().find("the program never came"), std::string::npos) << box.Log();
    }
    {
        SCOPED_TRACE("stopped while waiting");
        BoxSim box;
        ASSERT_TRUE(box.Start({"--version", "24.4"})) << box.Log();
        EXPECT_EQ(box.Wait(200), -1);
        EXPECT_EQ(box.Stop(), 3) << box.Log();
    }
}

TEST(BoxsimProgram, LinkPointsAtTheLineAndGoesAway) {
    const std::string dir = test::TempDir();
    const std::string link = dir + "/ttyBOX";
    ASSERT_EQ(symlink("/dev/nonexistent-stale", link.c_str()), 0);  // left by an earlier run
    {
        BoxSim box;
        ASSERT_TRUE(box.Start({"--link", link})) << box.Log();
        char target[256] = {};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(std::string(target), box.Path());
        ProgramSide program;
        ASSERT_TRUE(program.Open(link, 115200));
        program.Send(" korvane");
        EXPECT_EQ(program.ReadQuiet(200), "granted");
        box.Stop();
    }
    struct stat gone {};
    EXPECT_NE(lstat(link.c_str(), &gone), 0) << "the link is left behind";

    // A file that is not a symlink is never replaced.
    ASSERT_TRUE(test::WriteFileBytes(link, {'k', 'e', 'e', 'p'}));
    BoxSim refused;
    EXPECT_FALSE(refused.Start({"--link", link}));
    EXPECT_EQ(refused.Wait(5000), 2) << refused.Log();
    EXPECT_EQ(test::ReadFileBytes(link), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST(BoxsimProgram, UsageErrorsEndWithStatusTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {"--version", "24"}, {"--version", "x.y"}, {"--hw", "0x100"}, {"--hw"},
        {"--baud", "fast"},  {"--boxes", "0"},     {"stray"},         {"--link"},
    };
    for (const auto& args : cases) {
        SCOPED_TRACE(args[0] + (args.size() > 1 ? " " + args[1] : ""));
        BoxSim box;
        EXPECT_FALSE(box.Start(args));
        EXPECT_EQ(box.Wait(5000), 2) << box.Log();
    }
    BoxSim help;
    EXPECT_FALSE(help.Start({"--help"}));  // the usage text is no terminal path
    EXPECT_EQ(help.Wait(5000), 0);
}

// ---- The box's line, in process
// ------------------------------------------------------------------

class BoxLineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        options.baudRate = 115200;
        ASSERT_TRUE(line.Open(options));
        ASSERT_TRUE(program.Open(line.SlavePath(), 115200));
    }
    void ProgramSends(const std::string& bytes) { program.Send(bytes); }

    BoxOptions options;
    BoxLine line;
    ProgramSide program;
};

TEST_F(BoxLineTest, SeesTheProgramsSpeedAndFlowControl) {
    EXPECT_EQ(line.ProgramBaud(), 115200u);
    EXPECT_FALSE(line.ProgramRtsCts());
    program.SetBaud(9600);
    EXPECT_EQ(line.ProgramBaud(), 9600u);
    ProgramSide second;
    ASSERT_TRUE(second.Open(line.SlavePath(), 38400, true));
    EXPECT_EQ(line.ProgramBaud(), 38400u);
    EXPECT_TRUE(line.ProgramRtsCts());
}

TEST_F(BoxLineTest, GarblesBothWaysWhileTheSpeedsDiffer) {
    program.SetBaud(38400);
    ProgramSends("A");
    EXPECT_EQ(line.ReadByte(500), 'A' ^ 0xA5);
    line.Send("ok");
    EXPECT_EQ(program.ReadCount(2, 500), Garbled("ok"));
    program.SetBaud(115200);
    ProgramSends("C");
    EXPECT_EQ(line.ReadByte(500), 'C');
    line.SetBoxBaud(9600);
    line.SendByte('x');
    EXPECT_EQ(program.ReadCount(1, 500), Garbled("x"));
}

TEST_F(BoxLineTest, ReadsWithTimeLimits) {
    auto start = Clock::now();
    EXPECT_EQ(line.ReadByte(150), -1);
    EXPECT_GE(MsSince(start), 140);

    ProgramSends("noise Now start download!");
    EXPECT_TRUE(line.ReadUntil("Now start download", 500));
    EXPECT_EQ(line.ReadByte(100), '!');

    ProgramSends("abc");
    std::vector<uint8_t> got;
    start = Clock::now();
    EXPECT_FALSE(line.ReadExact(got, 4, 200));
    EXPECT_GE(MsSince(start), 190);
    EXPECT_EQ(got, (std::vector<uint8_t>{'a', 'b', 'c'}));

    ProgramSends("xyz");
    EXPECT_EQ(line.DrainQuiet(100), (std::vector<uint8_t>{'x', 'y', 'z'}));
    EXPECT_FALSE(line.Violated());
}

TEST_F(BoxLineTest, ExpectReportsViolations) {
    ProgramSends("\x06");
    EXPECT_TRUE(line.Expect("\x06", 500));
    EXPECT_FALSE(line.Violated());
    ProgramSends("\x15");
    EXPECT_FALSE(line.Expect("\x06", 500));
    EXPECT_TRUE(line.Violated());

    BoxLine quiet;
    ASSERT_TRUE(quiet.Open(options));
    EXPECT_FALSE(quiet.Expect("C", 100));
    EXPECT_TRUE(quiet.Violated()) << "a program that falls silent breaks the protocol";
}

TEST_F(BoxLineTest, MeasuresReplyLatency) {
    line.Send("\x06");
    line.MarkReplySent();
    EXPECT_EQ(program.ReadCount(1, 500), "\x06");
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    ProgramSends("next");
    EXPECT_EQ(line.ReadByte(500), 'n');
    EXPECT_EQ(line.ReadByte(500), 'e');
    ASSERT_EQ(line.ReplyLatenciesMs().size(), 1u) << "only the first byte after a reply counts";
    EXPECT_GE(line.ReplyLatenciesMs()[0], 75.0);
    EXPECT_LT(line.ReplyLatenciesMs()[0], 1000.0);
}

TEST_F(BoxLineTest, SavesWhatTheBoxReceived) {
    const std::vector<uint8_t> data = test::RandomBytes(5000, 7);
    line.Save(options, data);  // no path: nothing to do
    options.savePath = test::TempDir() + "/received.bin";
    line.Save(options, data);
    EXPECT_EQ(test::ReadFileBytes(options.savePath), data);
}

// ---- The program's own port and handshake against boxsim ----------------------------------------

struct RealAccessCase {
    const char* name;
    std::vector<std::string> args;
    // The settings as the session sets them for the image.
    uint8_t hardwareType;
    int syncMode;
    int grantedHandshake;
    int hardwareHandshake;
    int slowKeyword;
    LoaderVersion expected;
};

const RealAccessCase RealAccessCases[] = {
    {"24.4 on 0x14", {"--version", "24.4", "--hw", "0x14"}, 0x14, 1, 1, 0, 0, {24, 4}},
    {"echo missed once",
     {"--version", "24.4", "--hw", "0x14", "--echo-miss", "2"},
     0x14,
     1,
     1,
     0,
     0,
     {24, 4}},
    {"hexadecimal line",
     {"--version", "24.2", "--hw", "0x20", "--version-hex"},
     0x20,
     1,
     1,
     0,
     0,
     {24, 2}},
    {"4.24 on 0x12", {"--version", "4.24", "--hw", "0x12"}, 0x12, 0, 0, 0, 0, {4, 24}},
    {"4.12 on type 7", {"--version", "4.12", "--hw", "7"}, 7, 1, 0, 1, 0, {4, 12}},
    {"1.7 at 38400", {"--version", "1.7", "--hw", "1"}, 1, 0, 0, 1, 0, {1, 7}},
    {"slow keyword",
     {"--version", "4.24", "--hw", "0x12", "--slow-keyword"},
     0x12,
     0,
     0,
     0,
     1,
     {4, 24}},
};

// The done criterion of the serial link: the port opened through OpenSerialLink reaches the
// version of a box that boxsim plays. AccessBootloader ends the process on failure, so each
// access runs in a child process.
TEST(BoxsimAccessDeathTest, ProgramReachesTheVersion) {
    GTEST_FLAG_SET(death_test_style, "fast");
    for (const RealAccessCase& c : RealAccessCases) {
        SCOPED_TRACE(c.name);
        BoxSim box;
        ASSERT_TRUE(box.Start(c.args)) << box.Log();
        ASSERT_EQ(setenv("COM1", box.Path().c_str(), 1), 0);
        SessionSettings settings;
        settings.portNumber = 1;
        settings.hardwareType = c.hardwareType;
        settings.syncMode = c.syncMode;
        settings.grantedHandshake = c.grantedHandshake;
        settings.hardwareHandshake = c.hardwareHandshake;
        settings.slowKeyword = c.slowKeyword;
        char expected[64];
        std::snprintf(expected, sizeof expected, "version %d\\.%d\n", c.expected.major,
                      c.expected.minor);
        EXPECT_EXIT(
            {
                SerialLink link = OpenSerialLink(1, c.hardwareType < 2 ? 38400 : 115200,
                                                 settings.syncMode, settings.hardwareHandshake, 0);
                if (link == InvalidLink) {
                    std::fprintf(stderr, "open failed %u\n", GetLastErrorValue());
                    std::_Exit(2);
                }
                retriesLeft = 15;
                LoaderVersion version;
                AccessBootloader(link, settings, version);
                std::fprintf(stderr, "version %d.%d\n", version.major, version.minor);
                std::fflush(stderr);
                std::_Exit(0);
            },
            ::testing::ExitedWithCode(0), expected);
        box.Stop();
        EXPECT_NE(box.Log().find("version sent"), std::string::npos) << box.Log();
        if (HasFailure()) {
            ADD_FAILURE() << box.Log();
        }
    }
}

// The program's port at the wrong speed: the keyword arrives garbled, no version comes, and the
// query ends with a time-out.
TEST(BoxsimAccess, ProgramPortAtTheWrongSpeedGetsNoVersion) {
    BoxSim box;
    ASSERT_TRUE(box.Start({"--version", "4.24", "--hw", "0x12", "--baud", "38400"})) << box.Log();
    ASSERT_EQ(setenv("COM1", box.Path().c_str(), 1), 0);
    SerialLink link = OpenSerialLink(1, 115200, 0, 0, 0);
    ASSERT_NE(link, InvalidLink) << GetLastErrorValue();
    ASSERT_EQ(SendTimed(link, " korvane", 1000), 1);
    LoaderVersion version;
    const auto start = Clock::now();
    EXPECT_EQ(QueryLoaderVersion(link, version, 1500), 0);
    EXPECT_EQ(GetLastErrorValue(), ErrorTimeout);
    EXPECT_GE(MsSince(start), 1400);
    EXPECT_EQ(version.major, 0);

    // Set to the box's speed, the same port gets the version.
    ASSERT_EQ(ChangeBaudRate(link, 38400), 1);
    ASSERT_EQ(SendTimed(link, " korvane", 1000), 1);
    EXPECT_EQ(QueryLoaderVersion(link, version, 1500), 1);
    EXPECT_EQ(version.major, 4);
    EXPECT_EQ(version.minor, 24);
    CloseSerialLink(link);
    box.Stop();
    EXPECT_NE(box.Log().find("input garbled"), std::string::npos) << box.Log();
    if (HasFailure()) {
        ADD_FAILURE() << box.Log();
    }
}

}  // namespace
