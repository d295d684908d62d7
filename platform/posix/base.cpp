// POSIX platform base: the thread's last-error value, the console, process priority and the
// platform half of files (opening, creating, the size, deleting, the reasons of a failure).
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/file.h"
#include "platform/interrupt.h"
#include "platform/platform.h"

namespace {

thread_local uint32_t lastError = 0;

void SetLastErrorFromErrno() {
    SetLastErrorValue(static_cast<uint32_t>(errno));
}

// The reason of a failed stdio read or write: errno, or EIO when the library left none.
uint32_t ErrnoOrIoError() {
    return errno != 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EIO);
}

// Priority classes as the rest of the program knows them, and the nice value each stands for.
constexpr uint32_t NormalPriorityClass = 0x20;
constexpr int HighPriorityNice = -10;

// The value GetProcessPriorityClass hands out carries the nice value itself, so that setting it
// again restores exactly the priority the process had. The marker keeps it apart from the
// class constants (0x20, 0x80).
constexpr uint32_t NiceMarker = 0x10000;
constexpr int NiceOffset = 20;  // nice -20..19 is stored as 0..39

uint32_t EncodeNice(int nice) {
    return NiceMarker | static_cast<uint32_t>(nice + NiceOffset);
}

bool DecodeNice(uint32_t priorityClass, int& nice) {
    if ((priorityClass & ~0xFFu) != NiceMarker) {
        return false;
    }
    int value = static_cast<int>(priorityClass & 0xFFu) - NiceOffset;
    if (value < -20 || value > 19) {
        return false;
    }
    nice = value;
    return true;
}

bool CurrentNice(int& nice) {
    errno = 0;
    int value = getpriority(PRIO_PROCESS, 0);
    if (value == -1 && errno != 0) {
        return false;
    }
    nice = value;
    return true;
}

}  // namespace

// ---- Last-error value ---------------------------------------------------------------------

void SetLastErrorValue(uint32_t value) {
    lastError = value;
}
uint32_t GetLastErrorValue() {
    return lastError;
}

// ---- Console ------------------------------------------------------------------------------

int ReadConsoleChar() {
    // Read byte by byte from the descriptor, not through stdio: the wait for the answer watches
    // for an interrupt at the same time, and no answer may sit unseen in a stdio buffer while
    // the program waits on the descriptor.
    std::fflush(stdout);
    for (;;) {
        short revents = 0;
        if (PollOrInterrupt(STDIN_FILENO, POLLIN, -1, revents) == 0) {
            continue;  // another signal cut the wait short
        }
        unsigned char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n == 1) {
            return c;
        }
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return -1;  // the end of the input, or input that cannot be read
    }
}

void ConsoleBeep() {
    // The bell goes to the controlling terminal only; without one there is nothing to ring.
    int fd = open("/dev/tty", O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    ssize_t written = write(fd, "\a", 1);
    (void)written;
    close(fd);
}

// ---- Process ------------------------------------------------------------------------------

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(getpid());
}

// ---- Process priority ---------------------------------------------------------------------

uint32_t GetProcessPriorityClass() {
    int nice = 0;
    if (!CurrentNice(nice)) {
        return NormalPriorityClass;
    }
    return EncodeNice(nice);
}

void SetProcessPriorityClass(uint32_t priorityClass) {
    int target = 0;
    if (priorityClass == HighPriorityClass) {
        int current = 0;
        // Only ever raise: a process that already runs at a lower nice value keeps it.
        if (CurrentNice(current) && current <= HighPriorityNice) {
            return;
        }
        target = HighPriorityNice;
    } else if (priorityClass == NormalPriorityClass) {
        target = 0;
    } else if (!DecodeNice(priorityClass, target)) {
        return;
    }
    // A refused change (no privilege to raise) leaves the priority as it is.
    (void)setpriority(PRIO_PROCESS, 0, target);
}

// ---- Files --------------------------------------------------------------------------------

File File::OpenRead(const char* name) {
    // Non-blocking, so that a FIFO without a writer cannot hold the open; a terminal device
    // never becomes the controlling terminal.
    const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return File();
    }
    // Only regular files count: a directory opens under POSIX but is nothing to read an image
    // from, and a FIFO, a device or a socket would make the reading wait or touch the device.
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        SetLastErrorFromErrno();
        close(fd);
        return File();
    }
    if (!S_ISREG(info.st_mode)) {
        SetLastErrorValue(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
        close(fd);
        return File();
    }
    // Reads of a regular file never wait; the flag goes only for the sake of order.
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        SetLastErrorFromErrno();
        close(fd);
        return File();
    }
    return OpenStream(fd, "rb");
}

OpenProblem ClassifyOpenFailure(const char*, uint32_t error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return OpenProblem::Missing;
        case EISDIR:
            return OpenProblem::Directory;
        case EINVAL:  // OpenRead's reason for anything but a regular file or a directory
            return OpenProblem::NotRegular;
        default:
            return OpenProblem::Other;
    }
}

File File::Create(const char* name) {
    std::FILE* stream = std::fopen(name, "wb");
    if (stream == nullptr) {
        SetLastErrorFromErrno();
        return File();
    }
    return File(stream);
}

File File::CreateNew(const char* name) {
    // O_EXCL with O_CREAT fails on anything at the name, a symbolic link included (dangling or
    // not); O_NOFOLLOW says the same once more.
    const int fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastErrorFromErrno();
        return File();
    }
    return OpenStream(fd, "wb");
}

File File::OpenStream(int fd, const char* mode) {
    std::FILE* stream = fdopen(fd, mode);
    if (stream == nullptr) {
        SetLastErrorFromErrno();
        close(fd);
        return File();
    }
    return File(stream);
}

int File::OpenFileSize(uint64_t& size) {
    struct stat info {};
    if (fstat(fileno(stream_), &info) != 0) {
        SetLastErrorFromErrno();
        return 0;
    }
    if (info.st_size < 0) {
        SetLastErrorValue(EINVAL);
        return 0;
    }
    size = static_cast<uint64_t>(info.st_size);
    return 1;
}

uint32_t File::NotOpenError() {
    return EBADF;
}

uint32_t File::ReadError() {
    return ErrnoOrIoError();
}

uint32_t File::WriteError() {
    return ErrnoOrIoError();
}

int DeleteFileNamed(const char* name) {
    // Files only, as on the other platform: unlink refuses directories.
    if (unlink(name) != 0) {
        SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}

int ReplaceFileNamed(const char* from, const char* to) {
    if (std::rename(from, to) != 0) {
        SetLastErrorFromErrno();
        return 0;
    }
    return 1;
}
