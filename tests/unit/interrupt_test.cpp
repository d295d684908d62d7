// Interrupts on POSIX, in child processes: every kind of wait of the platform notices the
// signal at once, the notice and the clean-ups run in normal context in their order, and the
// process ends by the same signal; a signal that was ignored at the start stays ignored.
#include "platform/interrupt.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/clock.h"
#include "platform/platform.h"
#include "serial/port.h"

namespace {

enum class Wait { Pause, Port, Console };

struct InterruptCase {
    const char* name;
    Wait wait;
    int signalNumber;
    bool ignoredAtStart;  // the signal is ignored before the handlers are installed
};

// Writes to the pipe that the parent reads; async-signal-safety is not needed here, the notice
// and the clean-ups run in normal context.
int reportFd = -1;
void Report(const char* text) {
    [[maybe_unused]] const ssize_t n = write(reportFd, text, std::char_traits<char>::length(text));
}

[[noreturn]] void RunChild(const InterruptCase& c, int ready, int report) {
    reportFd = report;
    if (c.ignoredAtStart) {
        signal(c.signalNumber, SIG_IGN);
    }
    InstallInterruptHandlers();
    SetInterruptNotice([] { Report("notice,"); });
    AddInterruptCleanup([] { Report("first,"); });
    AddInterruptCleanup([] { Report("second,"); });
    int master = -1;
    int slave = -1;
    int input[2] = {-1, -1};
    if (c.wait == Wait::Port) {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
            _exit(10);
        }
        slave = open(ptsname(master), O_RDWR | O_NOCTTY | O_NONBLOCK);
    }
    if (c.wait == Wait::Console && (pipe(input) != 0 || dup2(input[0], STDIN_FILENO) < 0)) {
        _exit(11);
    }
    [[maybe_unused]] const ssize_t n = write(ready, "r", 1);
    switch (c.wait) {
        case Wait::Pause:
            SleepMs(1000);
            break;
        case Wait::Port:
            (void)PortWaitReadable(slave, 1000);
            break;
        case Wait::Console:
            // The writing end stays open: no input and no end of input, only the interrupt.
            (void)ReadConsoleChar();
            break;
    }
    Report("waited,");
    _exit(0);
}

class Interrupts : public ::testing::TestWithParam<InterruptCase> {};

TEST_P(Interrupts, EndTheWaitAtOnceRunTheCleanUpsAndEndByTheSignal) {
    const InterruptCase& c = GetParam();
    int ready[2];
    int report[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(report), 0);
    std::fflush(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        close(ready[0]);
        close(report[0]);
        RunChild(c, ready[1], report[1]);
    }
    close(ready[1]);
    close(report[1]);
    char byte = 0;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    // Long enough for the child to be blocked in its wait.
    usleep(100000);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, c.signalNumber), 0);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - sent)
                        .count();
    std::string reported;
    char chunk[256];
    for (ssize_t n = 0; (n = read(report[0], chunk, sizeof chunk)) > 0;) {
        reported.append(chunk, static_cast<size_t>(n));
    }
    close(ready[0]);
    close(report[0]);
    std::printf("[ outcome  ] %s: ended %lld ms after the signal\n", c.name,
                static_cast<long long>(ms));

    if (c.ignoredAtStart) {
        ASSERT_TRUE(WIFEXITED(status)) << status;
        EXPECT_EQ(WEXITSTATUS(status), 0);
        EXPECT_EQ(reported, "waited,");
        return;
    }
    ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << status;
    EXPECT_EQ(WTERMSIG(status), c.signalNumber);
    EXPECT_EQ(reported, "notice,first,second,");
    // The waits notice an interrupt within 100 ms; the rest is the process ending.
    EXPECT_LT(ms, 300);
}

INSTANTIATE_TEST_SUITE_P(
    Waits, Interrupts,
    ::testing::Values(
        InterruptCase{"CtrlCDuringAPause", Wait::Pause, SIGINT, false},
        InterruptCase{"TerminationWhileWaitingForThePort", Wait::Port, SIGTERM, false},
        InterruptCase{"HangUpWhileWaitingForAnAnswer", Wait::Console, SIGHUP, false},
        InterruptCase{"HangUpIgnoredAtTheStartStaysIgnored", Wait::Pause, SIGHUP, true}),
    [](const auto& caseInfo) { return std::string(caseInfo.param.name); });

}  // namespace
