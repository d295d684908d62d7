// Interrupts on POSIX: SIGINT, SIGTERM and SIGHUP are caught without SA_RESTART. The handler
// records the signal and writes a byte into a pipe whose reading end every wait of the platform
// polls beside its own descriptor, so a wait wakes at once and no signal can slip in between a
// check and the start of a wait. The program then ends in normal context and, after its
// clean-ups, by the same signal with the default action, so that the shell sees an interrupt.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "platform/interrupt.h"

namespace {

constexpr std::array<int, 3> CaughtSignals{SIGINT, SIGTERM, SIGHUP};

volatile sig_atomic_t recordedSignal = 0;
// Reading end watched by the waits, writing end used by the handler; both non-blocking.
std::array<int, 2> wakePipe{-1, -1};
// Set once the program ends by the interrupt: the clean-ups may pause without being cut short.
bool ending = false;

void OnInterrupt(int signalNumber) {
    const int savedErrno = errno;
    if (recordedSignal == 0) {
        recordedSignal = signalNumber;
    }
    // A full pipe wakes the waits as well; the byte is only a wake-up call.
    const char wake = 1;
    [[maybe_unused]] const ssize_t written = write(wakePipe[1], &wake, 1);
    errno = savedErrno;
}

}  // namespace

void InstallInterruptHandlers() {
    if (wakePipe[0] < 0 && pipe2(wakePipe.data(), O_NONBLOCK | O_CLOEXEC) != 0) {
        // Without the pipe a blocked wait still returns with EINTR; only a signal that comes
        // just before a wait begins is then noticed when that wait ends.
        wakePipe = {-1, -1};
    }
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : CaughtSignals) {
        sigaddset(&action.sa_mask, signalNumber);
    }
    action.sa_flags = 0;  // no SA_RESTART: a blocked call returns with EINTR
    for (const int signalNumber : CaughtSignals) {
        struct sigaction previous {};
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signalNumber, &action, nullptr);
    }
}

bool InterruptRecorded() {
    return recordedSignal != 0;
}

void CheckInterrupt() {
    if (recordedSignal != 0 && !ending) {
        EndByInterrupt();
    }
}

void EndByInterrupt() {
    const int signalNumber = recordedSignal != 0 ? static_cast<int>(recordedSignal) : SIGINT;
    ending = true;
    RunInterruptActions();
    // The same signal again, now with its default action: the process ends as interrupted.
    signal(signalNumber, SIG_DFL);
    sigset_t unblock;
    sigemptyset(&unblock);
    sigaddset(&unblock, signalNumber);
    sigprocmask(SIG_UNBLOCK, &unblock, nullptr);
    raise(signalNumber);
    _exit(128 + signalNumber);
}

int InterruptExitCode() {
    return 128 + (recordedSignal != 0 ? static_cast<int>(recordedSignal) : SIGINT);
}

int PollOrInterrupt(int fd, short events, int timeoutMs, short& revents) {
    std::array<pollfd, 2> entries{{{fd, events, 0}, {ending ? -1 : wakePipe[0], POLLIN, 0}}};
    const int ready = poll(entries.data(), entries.size(), timeoutMs);
    const int pollErrno = errno;
    CheckInterrupt();
    revents = entries[0].revents;
    if (ready < 0) {
        errno = pollErrno;
        return pollErrno == EINTR ? 0 : -1;
    }
    return revents != 0 ? 1 : 0;
}
