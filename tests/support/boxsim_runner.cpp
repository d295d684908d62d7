// Background runner of boxsim for end-to-end tests.
#include "tests/support/boxsim_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

extern char** environ;

namespace {

int ExitStatusOf(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    if (WIFSIGNALED(raw)) {
        return 128 + WTERMSIG(raw);
    }
    return 255;
}

}  // namespace

BoxSim::~BoxSim() {
    if (Running()) {
        Stop();
    }
    if (logFd_ >= 0) {
        close(logFd_);
    }
}

bool BoxSim::Start(const std::vector<std::string>& args) {
    if (pid_ > 0) {
        startError_ = "boxsim was already started by this object";
        return false;
    }
    char logName[] = "/tmp/boxsim-log-XXXXXX";
    logFd_ = mkostemp(logName, O_CLOEXEC);
    if (logFd_ < 0) {
        startError_ = std::string("cannot make a log file: ") + std::strerror(errno);
        return false;
    }
    unlink(logName);  // the open descriptor keeps it; nothing is left behind

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) {
        startError_ = std::string("cannot make a pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<std::string> argvText = {BOXSIM_BINARY};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvText) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, logFd_, 2);
    const int spawned = posix_spawn(&pid_, BOXSIM_BINARY, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
        pid_ = -1;
        close(out[0]);
        startError_ = std::string("cannot start " BOXSIM_BINARY ": ") + std::strerror(spawned);
        return false;
    }

    // The first line of standard output is the terminal's path.
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd fd{out[0], POLLIN, 0};
        if (left <= 0 || poll(&fd, 1, static_cast<int>(left)) <= 0) {
            break;
        }
        char chunk[256];
        const ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n <= 0) {
            break;
        }
        line.append(chunk, static_cast<size_t>(n));
    }
    close(out[0]);
    const size_t end = line.find('\n');
    if (end == std::string::npos || line[0] != '/') {
        startError_ = "boxsim printed no terminal path: \"" + line.substr(0, end) + "\"";
        if (Wait(2000) < 0) {  // it normally ends by itself (usage error, --help)
            Stop();
        }
        return false;
    }
    path_ = line.substr(0, end);
    return true;
}

std::string BoxSim::ComEnv(int portNumber) const {
    return "COM" + std::to_string(portNumber) + "=" + path_;
}

int BoxSim::Wait(int timeoutMs) {
    if (pid_ <= 0) {
        return -1;
    }
    if (status_ >= 0) {
        return status_;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid_, &raw, WNOHANG);
        if (done == pid_) {
            status_ = ExitStatusOf(raw);
            return status_;
        }
        if (done < 0 && errno != EINTR) {
            status_ = 255;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int BoxSim::Stop() {
    if (!Running()) {
        return pid_ > 0 ? status_ : -1;
    }
    kill(pid_, SIGTERM);
    if (Wait(5000) >= 0) {
        return status_;
    }
    kill(pid_, SIGKILL);
    return Wait(5000);
}

std::string BoxSim::Log() const {
    std::string text = startError_.empty() ? "" : "(runner) " + startError_ + "\n";
    if (logFd_ < 0) {
        return text;
    }
    char chunk[4096];
    off_t at = 0;
    for (;;) {
        const ssize_t n = pread(logFd_, chunk, sizeof chunk, at);
        if (n <= 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(n));
        at += n;
    }
    return text;
}
