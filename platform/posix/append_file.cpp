// Appending on POSIX: O_APPEND, so that each write goes to the end of the file as one piece.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/append_file.h"
#include "platform/platform.h"

int AppendFile::Open(const char* name) {
    Close();
    // O_NONBLOCK: a FIFO at the name must not hold the run until a reader comes.
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        SetLastErrorValue(static_cast<uint32_t>(errno));
        return 0;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int reason = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        close(fd);
        SetLastErrorValue(static_cast<uint32_t>(reason));
        return 0;
    }
    // A regular file never blocks; the flag goes so that a full disk is an error, not EAGAIN.
    (void)fcntl(fd, F_SETFL, O_WRONLY | O_APPEND);
    handle_ = fd;
    return 1;
}

int AppendFile::Append(const char* data, uint32_t length) {
    if (handle_ == -1) {
        SetLastErrorValue(EBADF);
        return 0;
    }
    ssize_t n = 0;
    do {
        n = write(static_cast<int>(handle_), data, length);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        SetLastErrorValue(static_cast<uint32_t>(errno));
        return 0;
    }
    if (static_cast<uint32_t>(n) != length) {
        SetLastErrorValue(ENOSPC);
        return 0;
    }
    return 1;
}

void AppendFile::Close() {
    if (handle_ != -1) {
        close(static_cast<int>(handle_));
        handle_ = -1;
    }
}
