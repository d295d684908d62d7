// A file opened for appending only, for a log that several processes share: every record goes
// out in one write at the file's end (O_APPEND on POSIX, FILE_APPEND_DATA on Windows), so the
// records of processes writing at the same time never mix.
#pragma once

#include <cstdint>

class AppendFile {
  public:
    AppendFile() = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile() { Close(); }

    // Opens (or creates, mode 0644 less the umask on POSIX) a regular file for appending. A
    // directory, a FIFO, a device or a socket is refused without waiting for a reader. Returns 1
    // on success, 0 with the reason in the last-error value.
    [[nodiscard]] int Open(const char* name);
    [[nodiscard]] bool IsOpen() const { return handle_ != -1; }
    // Appends `length` bytes in one write call. Returns 1 when all of them went out, 0 with the
    // reason in the last-error value otherwise.
    [[nodiscard]] int Append(const char* data, uint32_t length);
    void Close();

  private:
    std::intptr_t handle_ = -1;  // a descriptor on POSIX, a HANDLE on Windows
};
