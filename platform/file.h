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

    // Opens an existing regular file for reading (shared read access). A directory, a FIFO, a
    // device or a socket is refused at once, without waiting for a writer or touching the
    // device. On failure IsOpen() is false and the last-error value holds the platform's reason.
    [[nodiscard]] static File OpenRead(const char* name);
    // Creates (or truncates) a file for writing.
    [[nodiscard]] static File Create(const char* name);
    // Creates a new file for writing, exclusively: anything that already stands at the name (a
    // file, a link, even a dangling one, a FIFO, a directory) makes it fail. On POSIX the file
    // gets the mode 0644 less the umask.
    [[nodiscard]] static File CreateNew(const char* name);

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
    // A stream over an open descriptor of the C library; on failure the descriptor is closed.
    static File OpenStream(int fd, const char* mode);
    // The size of the open file (the platform half of Size).
    int OpenFileSize(uint64_t& size);

    // The platform's reasons of a failure, for the portable half: a call on a file that is not
    // open, a failed read and a failed write (the latter two just after the stdio call).
    static uint32_t NotOpenError();
    static uint32_t ReadError();
    static uint32_t WriteError();

    std::FILE* stream_ = nullptr;
};

// What kept File::OpenRead from opening `name` with the reason `error`, in the words a user
// needs: there is nothing at the name, a directory, something other than a regular file (a
// FIFO, a device, a socket), or any other reason (no permission, an I/O error).
enum class OpenProblem { Missing, Directory, NotRegular, Other };
[[nodiscard]] OpenProblem ClassifyOpenFailure(const char* name, uint32_t error);

// Deletes a file; returns 1 on success, 0 on failure.
[[nodiscard]] int DeleteFileNamed(const char* name);

// Puts the file `from` in the place of `to` in one step (rename on POSIX, MoveFileEx with
// replacing on Windows): whatever stood at `to` (a file, a link, a FIFO) is replaced, never
// written through, and a link's target stays as it was. A directory at `to` makes it fail.
// Returns 1 on success, 0 on failure.
[[nodiscard]] int ReplaceFileNamed(const char* from, const char* to);
