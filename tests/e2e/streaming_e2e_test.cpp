// The update session with the streaming download end to end: the real program against boxsim
// playing a streaming bootloader on a pseudo-terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/boxsim_runner.h"
#include "tests/support/hint_lines.h"
#include "tests/support/pad_builder.h"
#include "tests/support/run_process.h"

namespace {

constexpr uint32_t Id244 = 0x00180004;
constexpr uint32_t Id242 = 0x00180002;
const std::string ClearLine = std::string(30, ' ') + "\r";
const std::string Banner =
    "\n\t\t OOO   K   K  !!!\n\t\tO   O  K  K   !!!\n\t\tO   O  K K     !\n"
    "\t\tO   O  K  K     \n\t\t OOO   K   K   *\n\n";
const std::string Question = "Update another box (y/n)? [y]\n";

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// The progress lines of an X-modem transfer of `bytes` bytes: one per percentage step.
std::string Progress(size_t bytes) {
    const uint64_t blocks = (bytes + 127) / 128;
    std::string text;
    uint64_t last = 0;
    for (uint64_t k = 1; k <= blocks; ++k) {
        const uint64_t percent = 13200 * k / (132 * blocks);
        if (percent > last) {
            char line[32];
            std::snprintf(line, sizeof line, "%3d %% transmitted\r", static_cast<int>(percent));
            text += line;
        }
        last = percent;
    }
    return text + ClearLine;
}

// An image of one segment: a 48-byte header with the software id, then `bodySize` bytes.
std::vector<uint8_t> MakeImage(uint8_t hardwareType, uint32_t softwareId, size_t bodySize) {
    return test::MakePad(test::MakeSegment(softwareId, test::RandomBytes(bodySize, softwareId)), 5,
                         hardwareType, softwareId);
}

// The image as the program sends it in patch mode: the id in the tag and in the segment header,
// the stored sum left as it was.
std::vector<uint8_t> Stamped(std::vector<uint8_t> image, uint32_t softwareId) {
    for (size_t at : {size_t{5}, size_t{9 + 16}}) {
        image[at] = static_cast<uint8_t>(softwareId >> 24);
        image[at + 1] = static_cast<uint8_t>(softwareId >> 16);
        image[at + 2] = static_cast<uint8_t>(softwareId >> 8);
        image[at + 3] = static_cast<uint8_t>(softwareId);
    }
    return image;
}

// The output of a successful streaming update, in English or German.
struct Texts {
    const char* checking;
    const char* ok;
    const char* access;
    const char* done;
    const char* programming;
    const char* finished;
};
constexpr Texts English{"Checking file ...",
                        " OK",
                        "Access to bootloader version: ",
                        "Done!                   ",
                        "Programming the flash memory...",
                        "Download successfully finished. (com port:"};
constexpr Texts German{"Datei pruefen ...",
                       " OK",
                       "Zugriff auf Bootloader Version: ",
                       "Fertig!                 ",
                       "Flash programmieren ...",
                       "Uebertragung erfolgreich beendet (Schnittstelle: "};

std::string CheckedAndOpened(const Texts& t = English) {
    return std::string(t.checking) + t.ok + "\n\n\n";
}

std::string BoxPart(size_t imageSize, const std::string& version, int port,
                    const Texts& t = English) {
    return std::string(t.access) + " " + version + "\n" + Progress(imageSize) + t.done + "\n" +
           t.programming + t.done + "\n" + Banner + t.finished + " " + std::to_string(port) +
           ")\n\n";
}

struct Invocation {
    std::vector<std::string> argv;  // argv[0] is the name the program sees
    std::vector<std::string> box;   // boxsim's arguments; empty: no box, COM1 leads nowhere
    std::string stdinText;
    int port = 1;
    bool saveImage = true;
};

struct Outcome {
    ProcessResult program;
    int box = -1;
    std::string log;
    std::vector<uint8_t> received;
    bool imageUnchanged = false;

    std::string Describe() const {
        return "program exit " + std::to_string(program.exitCode) + "\n--- out:\n" + program.out +
               "\n--- err:\n" + program.err + "\n--- boxsim:\n" + log;
    }
};

class StreamingEndToEnd : public ::testing::Test {
  protected:
    void SetUp() override { dir_ = test::TempDir(); }

    std::string WriteImage(const std::vector<uint8_t>& image) {
        image_ = image;
        const std::string path = dir_ + "/image.pad";
        EXPECT_TRUE(test::WriteFileBytes(path, image));
        return path;
    }

    Outcome Execute(const Invocation& run) {
        Outcome outcome;
        BoxSim box;
        ProcessOptions options;
        options.stdinText = run.stdinText;
        options.timeoutMs = 120000;
        const std::string com = "COM" + std::to_string(run.port) + "=";
        if (run.box.empty()) {
            options.extraEnv = {com + dir_ + "/no-such-port"};
        } else {
            std::vector<std::string> args = run.box;
            if (run.saveImage) {
                args.insert(args.end(), {"--save", dir_ + "/received.pad"});
            }
            if (!box.Start(args)) {
                ADD_FAILURE() << "boxsim did not start: " << box.Log();
                return outcome;
            }
            options.extraEnv = {box.ComEnv(run.port)};
        }
        outcome.program = RunProcessAs(UPDATE_BINARY, run.argv, options);
        if (!run.box.empty()) {
            outcome.box = box.Wait(10000);
            if (outcome.box == -1) {
                outcome.box = box.Stop();
            }
            outcome.log = box.Log();
        }
        outcome.received = test::ReadFileBytes(dir_ + "/received.pad");
        outcome.imageUnchanged = test::ReadFileBytes(dir_ + "/image.pad") == image_;
        return outcome;
    }

    std::string dir_;
    std::vector<uint8_t> image_;
};

// ---- The typical road --------------------------------------------------------------------------

TEST_F(StreamingEndToEnd, TypicalRoadDeliversTheImageByteForByte) {
    const auto image = MakeImage(0x14, Id244, 5000);
    const std::string path = WriteImage(image);
    const Outcome o = Execute(
        {{"update", "-p", "2", path}, {"--version", "24.4", "--hw", "0x14", "--pace"}, "", 2});
    EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened() + BoxPart(image.size(), "24.4", 2));
    EXPECT_EQ(o.program.err, "");
    EXPECT_EQ(o.box, 0) << o.log;
    EXPECT_EQ(o.received, image);
    EXPECT_TRUE(Contains(o.log, "program at 115200 baud, RTS/CTS off")) << o.log;
    EXPECT_TRUE(o.imageUnchanged);
}

// boxsim's USB adapter holds the box's bytes and hands them on in packets: the update is the
// same as on a direct line. A boot line of 100 characters before the version line fills whole
// packets; every ACK after that goes alone, by the latency timer, because the program sends the
// next block only when it has the ACK.
TEST_F(StreamingEndToEnd, BehindAUsbAdapterTheBoxsBytesArriveWholeAndInOrder) {
    const auto image = MakeImage(0x14, Id244, 5000);
    const size_t blocks = (image.size() + 127) / 128;
    const std::string path = WriteImage(image);
    const std::string bootLine = std::string(100, '=') + "\\r\\nBootloader Version 24.4\\r\\n";
    const Outcome o = Execute({{"update", path},
                               {"--version", "24.4", "--hw", "0x14", "--adapter-latency", "16",
                                "--version-line", bootLine},
                               "",
                               1});
    EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened() + BoxPart(image.size(), "24.4", 1));
    EXPECT_EQ(o.box, 0) << o.log;
    EXPECT_EQ(o.received, image);
    std::smatch counts;
    ASSERT_TRUE(std::regex_search(
        o.log, counts,
        std::regex("USB adapter: ([0-9]+) packets delivered, ([0-9]+) of them by the latency")))
        << o.log;
    const size_t packets = std::stoul(counts[1]);
    const size_t byTimer = std::stoul(counts[2]);
    EXPECT_GT(packets, byTimer) << "no full packet of 62 bytes went out";
    EXPECT_GE(byTimer, blocks) << "ACKs went out without waiting for the latency timer";
}

TEST_F(StreamingEndToEnd, GermanUnderTheNameAktualisieren) {
    const auto image = MakeImage(0x14, Id244, 700);
    const std::string path = WriteImage(image);
    const Outcome o =
        Execute({{"aktualisieren", path}, {"--version", "24.4", "--hw", "0x14"}, "", 1});
    EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened(German) + BoxPart(image.size(), "24.4", 1, German));
    EXPECT_EQ(o.received, image);
    EXPECT_TRUE(o.imageUnchanged);
}

TEST_F(StreamingEndToEnd, BoxThatRepeatsRequestsStillGetsTheImage) {
    const auto image = MakeImage(0x13, 0x000C0005, 900);
    const std::string path = WriteImage(image);
    // 12.5 runs with the raised priority; the box NAKs every block three times.
    const Outcome o = Execute(
        {{"update", path}, {"--version", "12.5", "--hw", "0x13", "--nak-storm", "3"}, "", 1});
    EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened() + BoxPart(image.size(), "12.5", 1));
    EXPECT_EQ(o.received, image);
}

// ---- The id check ------------------------------------------------------------------------------

TEST_F(StreamingEndToEnd, IdMismatchGivesTheBoxTheReleaseBlock) {
    const auto image = MakeImage(0x14, Id244, 1000);
    const std::string path = WriteImage(image);
    const Outcome o =
        Execute({{"update", path}, {"--version", "24.2", "--hw", "0x14"}, "", 1, false});
    EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened() +
                                 "error -> wrong hardware IDs  (0x00180004 != 0x00180002)\n" +
                                 Progress(400));
    EXPECT_EQ(o.program.err, "");
    EXPECT_EQ(o.box, 0) << o.log;
    EXPECT_TRUE(Contains(o.log, "release block received")) << o.log;
    EXPECT_TRUE(o.imageUnchanged);
}

TEST_F(StreamingEndToEnd, PatchModeSendsTheImageStampedWithTheBoxId) {
    const auto image = MakeImage(0x14, Id244, 3000);
    const std::string path = WriteImage(image);
    const Outcome o = Execute({{"update", "-x", path},
                               {"--version", "24.2", "--hw", "0x14", "--expect-id", "0x00180002"},
                               "",
                               1});
    EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened() + BoxPart(image.size(), "24.2", 1));
    EXPECT_EQ(o.box, 0) << o.log;
    EXPECT_EQ(o.received, Stamped(image, Id242));
    EXPECT_TRUE(o.imageUnchanged);
}

TEST_F(StreamingEndToEnd, PatchOptionIsCancelledForTheNewerHardware) {
    const auto image = MakeImage(0x24, Id244, 300);
    const std::string path = WriteImage(image);
    const Outcome o =
        Execute({{"update", "-x", path}, {"--version", "24.2", "--hw", "0x24"}, "", 1, false});
    EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
    EXPECT_TRUE(Contains(o.program.out, "error -> wrong hardware IDs  (0x00180004 != 0x00180002)"))
        << o.Describe();
    EXPECT_TRUE(Contains(o.log, "release block received")) << o.log;
}

TEST_F(StreamingEndToEnd, UnversionedBoxTakesTheVersionOfTheImage) {
    const auto image = MakeImage(0x14, Id244, 800);
    const std::string path = WriteImage(image);
    // The box's 65535.65535 switches on patch mode: the image goes out stamped (with its own id).
    const Outcome o =
        Execute({{"update", path},
                 {"--version", "65535.65535", "--hw", "0x14", "--expect-id", "0x00180004"},
                 "",
                 1});
    EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
    EXPECT_EQ(o.program.out, CheckedAndOpened() + "Access to bootloader version:  65535.65535\n" +
                                 BoxPart(image.size(), "24.4", 1));
    EXPECT_EQ(o.received, image);
}

TEST_F(StreamingEndToEnd, UnsupportedVersionIsReportedAndTheBoxReleased) {
    // The universal software id passes every id check; 24.11 has no row.
    const auto image = MakeImage(0x14, 0x00060001, 500);
    const std::string path = WriteImage(image);
    const Outcome o =
        Execute({{"update", path}, {"--version", "24.11", "--hw", "0x14"}, "", 1, false});
    EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
    EXPECT_EQ(o.program.out,
              CheckedAndOpened() + "Access to bootloader version:  24.11\n" + Progress(400));
    EXPECT_EQ(o.program.err, "Bootloader version not supported:  24.11\n");
    EXPECT_TRUE(Contains(o.log, "release block received")) << o.log;
}

// A box of another family never sends the download prompt: the release of the box gives up
// after its 30 s, and the program ends as a failed release does.
TEST_F(StreamingEndToEnd, BoxOfAnotherFamilyIsGivenUpOnWithinTheReleaseBound) {
    const std::string path = WriteImage(MakeImage(0x14, Id244, 500));
    const Outcome o = Execute({{"update", path},
                               {"--version", "2.0", "--hw", "0x14", "--step-timeout", "90000"},
                               "",
                               1,
                               false});
    EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
    EXPECT_EQ(o.program.out,
              CheckedAndOpened() + "error -> wrong hardware IDs  (0x00180004 != 0x00020000)\n");
    EXPECT_EQ(o.program.err, "WaitFor error  536870914\n" + FailureHintLine(ErrorTimeout));
    EXPECT_TRUE(o.program.endedMs >= 30000 && o.program.endedMs < 40000) << o.program.endedMs;
}

// Both streams into one file, as `update image.pad >run.log 2>&1` gives them: what standard
// output holds comes before the line on standard error that follows it.
TEST_F(StreamingEndToEnd, OneFileForBothStreamsKeepsTheirOrder) {
    const std::string path = WriteImage(MakeImage(0x14, Id244, 200));
    const ProcessResult r =
        RunProcess({"/bin/sh", "-c", "exec \"$0\" \"$1\" 2>&1", UPDATE_BINARY, path}, "", 60000,
                   {"COM1=" + dir_ + "/no-such-port"});
    EXPECT_TRUE(
        r.out.starts_with("Checking file ... OK\n"
                          "Inititialization of COM-port failed (Error:  2)\nPort 1 ("))
        << r.out;
}

// ---- Refusals before the port ----------------------------------------------------------------

TEST_F(StreamingEndToEnd, ImagesRefusedBeforeAnyPortIsOpened) {
    auto corrupt = MakeImage(0x14, Id244, 200);
    corrupt.back() ^= 0x01;  // the stored sum
    auto cut = corrupt;
    cut.resize(100);
    auto widened = MakeImage(0x14, Id244, 200);
    widened.insert(widened.begin() + 4, 0x00);  // a tag of 6 bytes
    const std::string fifo = dir_ + "/fifo.pad";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::vector<uint8_t> image;  // written as image.pad unless `path` names another file
        std::string path;
        std::string reason;  // in the one line on standard error, which begins with the path
    };
    for (const Case& c : {Case{MakeImage(0x03, Id244, 200), "", ""},
                          Case{corrupt, "", ": the checksum at its end does not match"},
                          Case{{}, dir_ + "/none.pad", ": there is no such file."},
                          Case{{}, "", ": the file is empty."},
                          Case{cut, "", ": the file ends before its length field says"},
                          Case{widened, "", ": its sizes leave a tag of neither 0, 1 nor 5"},
                          Case{{}, dir_, " is a directory, not an image file."},
                          Case{{}, fifo, " is not a regular file (a FIFO,"}}) {
        const std::string written = WriteImage(c.image);
        const std::string path = c.path.empty() ? written : c.path;
        SCOPED_TRACE(path + c.reason);
        // COM1 names no device: an attempt to open it would be reported on standard error.
        const Outcome o = Execute({{"update", path}, {}, "", 1});
        EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
        EXPECT_EQ(o.program.out,
                  c.reason.empty()
                      ? "Checking file ... OK\nThis PAD-file must be transmitted via the parallel "
                        "port \n"
                      : "Checking file ... failed. Abort!\n");
        EXPECT_EQ(std::count(o.program.err.begin(), o.program.err.end(), '\n'),
                  c.reason.empty() ? 0 : 1);
        EXPECT_TRUE(o.program.err.starts_with(c.reason.empty() ? "" : path + c.reason));
        EXPECT_TRUE(o.imageUnchanged);
    }
}

// ---- Failures reported by the box ------------------------------------------------------------

TEST_F(StreamingEndToEnd, BoxErrorTextEndsTheUpdate) {
    const auto image = MakeImage(0x14, Id244, 400);
    const std::string path = WriteImage(image);
    for (const char* at : {"start", "end"}) {
        SCOPED_TRACE(at);
        const Outcome o = Execute({{"update", path},
                                   {"--version", "24.4", "--hw", "0x14", "--error-text",
                                    "ERROR: flash broken", "--error-at", at},
                                   "",
                                   1,
                                   false});
        EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
        EXPECT_TRUE(o.program.err.ends_with("WaitFor error  536870919\n" +
                                            FailureHintLine(ErrorBoxErrorText)))
            << o.Describe();
        EXPECT_FALSE(Contains(o.program.out, "Download successfully finished")) << o.Describe();
        EXPECT_EQ(Contains(o.program.out, "Programming the flash memory..."),
                  std::string(at) == "end")
            << o.Describe();
        EXPECT_EQ(o.box, 0) << o.log;
    }
}

// ---- Loop mode -------------------------------------------------------------------------------

TEST_F(StreamingEndToEnd, LoopModeUpdatesBoxAfterBoxUntilAnsweredWithN) {
    const auto image = MakeImage(0x14, Id244, 600);
    const std::string path = WriteImage(image);
    struct Case {
        std::string answers;
        int boxes;
    };
    // "y" and ENTER: the line end left over starts the third box without a new answer. Only a
    // lower-case "n" ends the loop.
    for (const Case& c : {Case{"y\nn", 3}, Case{"n", 1}, Case{"N\nn", 3}, Case{"yn", 2}}) {
        SCOPED_TRACE(c.answers);
        const Outcome o =
            Execute({{"update", "-l", path},
                     {"--version", "24.4", "--hw", "0x14", "--boxes", std::to_string(c.boxes)},
                     c.answers,
                     1});
        std::string expected = "Checking file ... OK\n";
        for (int box = 0; box < c.boxes; ++box) {
            expected += "\n\n" + BoxPart(image.size(), "24.4", 1) + Question;
        }
        EXPECT_EQ(o.program.exitCode, 0) << o.Describe();
        EXPECT_EQ(o.program.out, expected);
        EXPECT_EQ(o.box, 0) << o.log;
        EXPECT_TRUE(Contains(
            o.log, std::to_string(c.boxes) + " of " + std::to_string(c.boxes) + " boxes played"))
            << o.log;
        EXPECT_EQ(o.received, image);
    }
}

// ---- Service mode and the beep ---------------------------------------------------------------

TEST_F(StreamingEndToEnd, ServiceModeWaitsForEnterAfterAFailure) {
    const auto image = MakeImage(0x14, Id244, 300);
    const std::string path = WriteImage(image);
    const Outcome o =
        Execute({{"VKMupdate", path}, {"--version", "24.2", "--hw", "0x14"}, "\n", 1, false});
    EXPECT_EQ(o.program.exitCode, 1) << o.Describe();
    EXPECT_TRUE(o.program.out.ends_with(Progress(400) + "error updating image -> ENTER\n"))
        << o.Describe();
    EXPECT_TRUE(Contains(o.log, "keyword \"qkorvane\"")) << o.log;

    // Without an ENTER the program keeps waiting.
    ProcessOptions options;
    options.extraEnv = {"COM1=" + dir_ + "/no-such-port"};
    options.closeStdin = false;
    options.timeoutMs = 1500;
    auto bad = image;
    bad.back() ^= 0x01;
    test::WriteFileBytes(dir_ + "/bad.pad", bad);
    const ProcessResult waiting =
        RunProcessAs(UPDATE_BINARY, {"VKMupdate", dir_ + "/bad.pad"}, options);
    EXPECT_TRUE(waiting.timedOut);
    EXPECT_EQ(waiting.out, "Checking file ... failed. Abort!\nerror updating image -> ENTER\n");
}

// The program with a pseudo-terminal as its controlling terminal (where the beep goes), its
// standard input from a pipe that the test writes when it likes, and standard output and error
// into a file.
class ProgramOnTerminal {
  public:
    ~ProgramOnTerminal() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        CloseFd(input_);
        CloseFd(master_);
    }

    bool Start(const std::vector<std::string>& argv, const std::string& com1,
               const std::string& outPath) {
        outPath_ = outPath;
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
            return false;
        }
        const std::string slave = ptsname(master_);
        int pipeFds[2];
        if (pipe(pipeFds) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            setsid();
            const int tty = open(slave.c_str(), O_RDWR);  // becomes the controlling terminal
            const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (tty < 0 || out < 0) {
                _exit(126);
            }
            dup2(pipeFds[0], 0);
            dup2(out, 1);
            dup2(out, 2);
            close(pipeFds[1]);
            setenv("COM1", com1.c_str(), 1);
            std::vector<char*> args;
            for (const std::string& a : argv) {
                args.push_back(const_cast<char*>(a.c_str()));
            }
            args.push_back(nullptr);
            execv(UPDATE_BINARY, args.data());
            _exit(127);
        }
        close(pipeFds[0]);
        input_ = pipeFds[1];
        return pid_ > 0;
    }

    void Answer(const std::string& text) {
        if (!text.empty()) {
            EXPECT_EQ(write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        }
    }

    // Ends the input, waits for the program (killing it after timeoutMs) and collects what
    // reached the terminal. Returns the exit code, -1 when it had to be killed.
    int Finish(int timeoutMs) {
        CloseFd(input_);
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        bool ended = false;
        while (!ended) {
            Collect(100);
            ended = waitpid(pid_, &status, WNOHANG) == pid_;
            if (!ended && std::chrono::steady_clock::now() > deadline) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &status, 0);
                pid_ = -1;
                return -1;
            }
        }
        pid_ = -1;
        Collect(50);
        const auto out = test::ReadFileBytes(outPath_);
        output.assign(out.begin(), out.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string terminal;  // what the program wrote to its terminal
    std::string output;    // its standard output and error

  private:
    void Collect(int waitMs) {
        char buffer[256];
        pollfd entry{master_, POLLIN, 0};
        while (poll(&entry, 1, waitMs) > 0) {
            const ssize_t n = read(master_, buffer, sizeof buffer);
            if (n <= 0) {
                return;
            }
            terminal.append(buffer, static_cast<size_t>(n));
        }
    }
    static void CloseFd(int& fd) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }

    pid_t pid_ = -1;
    int master_ = -1;
    int input_ = -1;
    std::string outPath_;
};

TEST_F(StreamingEndToEnd, BeepRingsTheTerminalOncePerSuccessfulBox) {
    const auto image = MakeImage(0x14, Id244, 300);
    const std::string path = WriteImage(image);
    struct Case {
        const char* name;
        std::vector<std::string> argv;
        std::vector<std::string> box;
        std::string answers;
        int exitCode;
        size_t bells;
        size_t banners;
    };
    for (const Case& c :
         {Case{"two boxes", {"update", "-w", "-l", path}, {"--boxes", "2"}, "yn", 0, 2, 2},
          Case{"without -w", {"update", path}, {}, "", 0, 0, 1},
          Case{"failure", {"update", "-w", path}, {"--version", "24.2"}, "", 1, 0, 0}}) {
        SCOPED_TRACE(c.name);
        BoxSim box;
        std::vector<std::string> args{"--version", "24.4", "--hw", "0x14"};
        args.insert(args.end(), c.box.begin(), c.box.end());
        ASSERT_TRUE(box.Start(args)) << box.Log();
        ProgramOnTerminal program;
        ASSERT_TRUE(program.Start(c.argv, box.Path(), dir_ + "/output.txt"));
        program.Answer(c.answers);
        EXPECT_EQ(program.Finish(60000), c.exitCode) << program.output << box.Log();
        if (box.Wait(10000) == -1) {
            box.Stop();
        }
        EXPECT_EQ(Count(program.terminal, "\a"), c.bells);
        // The bell never goes into the redirected output.
        EXPECT_EQ(Count(program.output, "\a"), 0u);
        EXPECT_EQ(Count(program.output, "Download successfully finished"), c.banners);
    }
}

TEST_F(StreamingEndToEnd, LoopModeKeepsPatchModeForTheNextBox) {
    // The first box reports 65535.65535, which switches patch mode on; the second reports 24.2
    // and is then updated without an id check, with the image stamped for 24.2. COM1 is a
    // symlink that the test turns to the second box while the program waits for the answer.
    const auto image = MakeImage(0x14, Id244, 600);
    const std::string path = WriteImage(image);
    BoxSim first;
    ASSERT_TRUE(first.Start({"--version", "65535.65535", "--hw", "0x14"})) << first.Log();
    BoxSim second;
    ASSERT_TRUE(second.Start({"--version", "24.2", "--hw", "0x14", "--expect-id", "0x00180002",
                              "--save", dir_ + "/second.pad"}))
        << second.Log();
    const std::string com1 = dir_ + "/com1";
    ASSERT_EQ(symlink(first.Path().c_str(), com1.c_str()), 0);

    ProgramOnTerminal program;
    ASSERT_TRUE(program.Start({"update", "-l", path}, com1, dir_ + "/output.txt"));
    EXPECT_EQ(first.Wait(30000), 0) << first.Log();
    ASSERT_EQ(unlink(com1.c_str()), 0);
    ASSERT_EQ(symlink(second.Path().c_str(), com1.c_str()), 0);
    program.Answer("yn");
    EXPECT_EQ(program.Finish(60000), 0) << program.output;
    EXPECT_EQ(second.Wait(10000), 0) << second.Log();

    EXPECT_EQ(Count(program.output, "Download successfully finished"), 2u) << program.output;
    EXPECT_TRUE(Contains(program.output, "Access to bootloader version:  24.2\n"))
        << program.output;
    EXPECT_FALSE(Contains(program.output, "wrong hardware IDs")) << program.output;
    EXPECT_EQ(test::ReadFileBytes(dir_ + "/second.pad"), Stamped(image, Id242));
}

}  // namespace
