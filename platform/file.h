// Files opened for one operation: the image files, hyper.pad and what the tests write. The
// stdio half of File is portable (platform/file.cpp); opening, creating, the size, deleting and
// the platform's reasons of a failure come from platform/posix or platform/win32.
#pragma once

#include <cstdint>
#include <cstdio>

// A file opened for one operation and closed when the object goes out of scope.
class File {
  public:
    File() = default;
    File(const File&) = delete;
    File& operator=(const File&) = delete;
    File(File&& other) noexcept : stream_(other.stream_) { other.stream_ = nullptr; }
    File& operator=(File&& other) noexcept;
    ~File() { Close(); }

    // Opens an existing file for reading (shared read access). On failure IsOpen() is false and
    // the last-error value holds the platform's reason.
    [[nodiscard]] static File OpenRead(const char* name);
    // Creates (or truncates) a file for writing.
    [[nodiscard]] static File Create(const char* name);

    [[nodiscard]] bool IsOpen() const { return stream_ != nullptr; }
    // Size of the file in bytes; returns 0 and sets the last-error value on failure.
    [[nodiscard]] int Size(uint64_t& size);
    // Reads up to `wanted` bytes; `got` is the count read (0 at the end of the file).
    // Returns 1 on success, 0 on a read error.
    [[nodiscard]] int Read(void* buffer, uint32_t wanted, uint32_t& got);
    // Writes all `length` bytes; returns 1 on success, 0 on failure.
    [[nodiscard]] int Write(const void* data, uint32_t length);
    void Close();

  private:
    explicit File(std::FILE* stream) : stream_(stream) {}

    // The platform's reasons of a failure, for the portable half: a call on a file that is not
    // open, a failed read and a failed write (the latter two just after the stdio call).
    static uint32_t NotOpenError();
    static uint32_t ReadError();
    static uint32_t WriteError();

    std::FILE* stream_ = nullptr;
};

// Deletes a file; returns 1 on success, 0 on failure.
[[nodiscard]] int DeleteFileNamed(const char* name);
