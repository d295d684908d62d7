#include "tests/support/run_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

struct Pipe {
    int fd[2] = {-1, -1};
    Pipe() {
        if (pipe2(fd, O_CLOEXEC) != 0) {
            fd[0] = fd[1] = -1;
        }
    }
    bool IsOpen() const { return fd[0] >= 0 && fd[1] >= 0; }
    ~Pipe() {
        CloseRead();
        CloseWrite();
    }
    void CloseRead() {
        if (fd[0] >= 0) {
            close(fd[0]);
            fd[0] = -1;
        }
    }
    void CloseWrite() {
        if (fd[1] >= 0) {
            close(fd[1]);
            fd[1] = -1;
        }
    }
};

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// The test's environment with the extra entries added; an extra entry replaces an inherited
// one of the same name.
std::vector<std::string> BuildEnvironment(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        const std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& extra : extraEnv) {
            if (extra.substr(0, extra.find('=')) == name) {
                replaced = true;
            }
        }
        if (!replaced) {
            env.push_back(entry);
        }
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return env;
}

std::vector<char*> PointerList(std::vector<std::string>& strings) {
    std::vector<char*> list;
    for (std::string& s : strings) {
        list.push_back(s.data());
    }
    list.push_back(nullptr);
    return list;
}

// Reads what is available; returns false at the end of the stream.
bool Drain(int fd, std::string& into) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            into.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return false;
        } else {
            return errno == EAGAIN || errno == EINTR;
        }
    }
}

int DecodeStatus(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

}  // namespace

ProcessResult RunProcessAs(const std::string& executable, const std::vector<std::string>& argv,
                           const ProcessOptions& options) {
    // A child that ends before reading all of its input must not kill the test with SIGPIPE.
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::string> args = argv;
    std::vector<char*> argPointers = PointerList(args);
    std::vector<std::string> env = BuildEnvironment(options.extraEnv);
    std::vector<char*> envPointers = PointerList(env);

    ProcessResult result;
    Pipe in, out, err;
    if (!in.IsOpen() || !out.IsOpen() || !err.IsOpen()) {
        result.err = std::string("RunProcess: pipe2 failed: ") + std::strerror(errno);
        return result;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        result.err = std::string("RunProcess: fork failed: ") + std::strerror(errno);
        return result;
    }
    if (pid == 0) {
        // Only async-signal-safe calls from here on.
        dup2(in.fd[0], STDIN_FILENO);
        dup2(out.fd[1], STDOUT_FILENO);
        dup2(err.fd[1], STDERR_FILENO);
        if (!options.workDir.empty() && chdir(options.workDir.c_str()) != 0) {
            _exit(127);
        }
        execve(executable.c_str(), argPointers.data(), envPointers.data());
        _exit(127);
    }

    in.CloseRead();
    out.CloseWrite();
    err.CloseWrite();
    SetNonBlocking(in.fd[1]);
    SetNonBlocking(out.fd[0]);
    SetNonBlocking(err.fd[0]);

    std::size_t written = 0;
    if (options.stdinText.empty() && options.closeStdin) {
        in.CloseWrite();
    }
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::milliseconds(options.timeoutMs);
    auto sinceStart = [&start] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
            .count();
    };
    // When the signal of the options is due (time_point::max(): not yet known).
    auto signalDue = std::chrono::steady_clock::time_point::max();
    bool signalPending = options.signalNumber != 0;
    bool outOpen = true;
    bool errOpen = true;
    while (outOpen || errOpen) {
        auto now = std::chrono::steady_clock::now();
        if (signalPending && signalDue == std::chrono::steady_clock::time_point::max() &&
            (result.out.find(options.signalAfterText) != std::string::npos ||
             result.err.find(options.signalAfterText) != std::string::npos)) {
            signalDue = now + std::chrono::milliseconds(options.signalDelayMs);
        }
        if (signalPending && now >= signalDue) {
            kill(pid, options.signalNumber);
            result.signalSentMs = sinceStart();
            signalPending = false;
        }
        if (now >= deadline) {
            result.timedOut = true;
            kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        nfds_t count = 0;
        const nfds_t outIndex = outOpen ? count++ : 3;
        if (outOpen) {
            fds[outIndex] = {out.fd[0], POLLIN, 0};
        }
        const nfds_t errIndex = errOpen ? count++ : 3;
        if (errOpen) {
            fds[errIndex] = {err.fd[0], POLLIN, 0};
        }
        const nfds_t inIndex = in.fd[1] >= 0 && written < options.stdinText.size() ? count++ : 3;
        if (inIndex < 3) {
            fds[inIndex] = {in.fd[1], POLLOUT, 0};
        }
        const auto wakeAt = signalPending && signalDue < deadline ? signalDue : deadline;
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count();
        const int ready = poll(fds, count, static_cast<int>(remaining) + 1);
        if (ready < 0 && errno != EINTR) {
            kill(pid, SIGKILL);
            break;
        }
        if (ready <= 0) {
            continue;
        }
        if (outOpen && fds[outIndex].revents != 0) {
            outOpen = Drain(out.fd[0], result.out);
        }
        if (errOpen && fds[errIndex].revents != 0) {
            errOpen = Drain(err.fd[0], result.err);
        }
        if (inIndex < 3 && fds[inIndex].revents != 0) {
            const ssize_t n = write(in.fd[1], options.stdinText.data() + written,
                                    options.stdinText.size() - written);
            if (n > 0) {
                written += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
                // The child closed its input; the rest of the text is not wanted.
                written = options.stdinText.size();
            }
            if (written == options.stdinText.size() && options.closeStdin) {
                in.CloseWrite();
            }
        }
    }
    in.CloseWrite();
    result.endedMs = sinceStart();

    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (result.timedOut) {
        // Collect whatever the child wrote before it was killed.
        Drain(out.fd[0], result.out);
        Drain(err.fd[0], result.err);
    }
    result.exitCode = DecodeStatus(status);
    return result;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const std::string& stdinText,
                         int timeoutMs, const std::vector<std::string>& extraEnv,
                         const std::string& workDir) {
    ProcessOptions options;
    options.stdinText = stdinText;
    options.timeoutMs = timeoutMs;
    options.extraEnv = extraEnv;
    options.workDir = workDir;
    return RunProcessAs(argv.at(0), argv, options);
}
