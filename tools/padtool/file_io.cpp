// File access of padtool (POSIX: padtool is built where boxsim is).
#include "tools/padtool/file_io.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "tools/padtool/image_facts.h"

namespace padtool {

namespace {

std::string ErrnoText() {
    return std::strerror(errno);
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Close(); }
    int Get() const { return fd_; }
    // Gives the descriptor up to the caller.
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now; false (errno set) when the close reports an error.
    bool Close() {
        const int fd = fd_;
        fd_ = -1;
        return fd < 0 || ::close(fd) == 0;
    }

  private:
    int fd_;
};

bool WriteAll(int fd, std::span<const uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

int OpenRegularFile(const std::string& path, std::string& error) {
    // Without O_NONBLOCK the open of a FIFO would wait for a writer for ever.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.Get() < 0) {
        error = "cannot open: " + ErrnoText();
        return -1;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        error = "cannot read: " + ErrnoText();
        return -1;
    }
    if (S_ISDIR(info.st_mode)) {
        error = "cannot read: Is a directory";
        return -1;
    }
    if (!S_ISREG(info.st_mode)) {
        error = "not a regular file (a FIFO, a device or a socket)";
        return -1;
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
        error = "cannot read: " + ErrnoText();
        return -1;
    }
    return fd.Release();
}

bool ReadInputFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    bytes.clear();
    Descriptor fd(OpenRegularFile(path, error));
    if (fd.Get() < 0) {
        return false;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        error = "cannot read: " + ErrnoText();
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > MaxInputBytes) {
        error = "too large: " + std::to_string(info.st_size) + " bytes (padtool reads at most " +
                std::to_string(MaxInputBytes) + ")";
        return false;
    }
    // Read to the end rather than trusting the size: a file may change while it is read.
    constexpr std::size_t Piece = 65536;
    for (;;) {
        if (bytes.size() > MaxInputBytes) {
            error = "too large: more than " + std::to_string(MaxInputBytes) + " bytes";
            return false;
        }
        const std::size_t had = bytes.size();
        bytes.resize(had + Piece);
        const ssize_t n = ::read(fd.Get(), bytes.data() + had, Piece);
        if (n < 0) {
            bytes.resize(had);
            if (errno == EINTR) {
                continue;
            }
            error = "cannot read: " + ErrnoText();
            return false;
        }
        bytes.resize(had + static_cast<std::size_t>(n));
        if (n == 0) {
            return true;
        }
    }
}

bool SameFile(const std::string& first, const std::string& second) {
    std::error_code ec1;
    std::error_code ec2;
    const auto a = std::filesystem::weakly_canonical(first, ec1);
    const auto b = std::filesystem::weakly_canonical(second, ec2);
    if (!ec1 && !ec2 && a == b) {
        return true;
    }
    struct stat infoA {};
    struct stat infoB {};
    return ::stat(first.c_str(), &infoA) == 0 && ::stat(second.c_str(), &infoB) == 0 &&
           infoA.st_dev == infoB.st_dev && infoA.st_ino == infoB.st_ino;
}

bool WriteOutputFile(const std::string& path, std::span<const uint8_t> bytes, std::string& error) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
        error = "cannot write: Is a directory";
        return false;
    }
    const std::filesystem::path target(path);
    const std::filesystem::path directory =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    // A hidden name beside the target, so that the rename stays within one file system.
    std::string hiddenName(".");
    hiddenName += target.filename().string();
    hiddenName += ".padtool-XXXXXX";
    std::string temporary = (directory / hiddenName).string();
    Descriptor fd(::mkstemp(temporary.data()));
    if (fd.Get() < 0) {
        error = "cannot create a file in " + directory.string() + ": " + ErrnoText();
        return false;
    }
    // mkstemp makes the file private; an image gets the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd.Get(), 0666 & ~mask) == 0 && WriteAll(fd.Get(), bytes) &&
              ::fsync(fd.Get()) == 0;
    ok = fd.Close() && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) {
        return true;
    }
    error = "cannot write: " + ErrnoText();
    ::unlink(temporary.c_str());
    return false;
}

}  // namespace padtool
