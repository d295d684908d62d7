// Thin platform layer: millisecond clock, pauses, the thread's last-error value, console,
// files and process priority. One implementation per platform (platform/posix, platform/win32)
// is chosen at build time; everything above this layer is portable.
#pragma once

#include <cstdint>
#include <cstdio>

// ---- Time -------------------------------------------------------------------------------
// Monotonic millisecond clock, 32 bits wide. Elapsed time is always computed as
// `ClockMs() - start` in unsigned 32-bit arithmetic, so a wrap of the clock does no harm.
uint32_t ClockMs();

// Elapsed milliseconds since `start`, wrap-safe.
inline uint32_t ElapsedMs(uint32_t start) {
    return ClockMs() - start;
}

// Pause the thread. SleepMs(0) gives up the rest of the time slice.
void SleepMs(uint32_t ms);

// ---- Last-error value -------------------------------------------------------------------
// The reason of the last failure of this thread. The system's own reasons are 0x20000000 to
// 0x20000008 (see serial_link.h); any other value is the platform's own error number.
void SetLastErrorValue(uint32_t value);
uint32_t GetLastErrorValue();

// ---- Console ----------------------------------------------------------------------------
// Reads one character from standard input; returns -1 at the end of input.
int ReadConsoleChar();

// Sounds the console beep (1000 Hz, 500 ms) where the platform can. On POSIX the bell goes to
// the controlling terminal, never into redirected standard output.
void ConsoleBeep();

// ---- Process priority -------------------------------------------------------------------
inline constexpr uint32_t HighPriorityClass = 0x80;
// Returns the process's current priority class (an opaque value for RestorePriorityClass).
uint32_t GetProcessPriorityClass();
// Sets the priority class; a refused raise is not an error (the result is not looked at).
void SetProcessPriorityClass(uint32_t priorityClass);

// ---- Files ------------------------------------------------------------------------------
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
    static File OpenRead(const char* name);
    // Creates (or truncates) a file for writing.
    static File Create(const char* name);

    bool IsOpen() const { return stream_ != nullptr; }
    // Size of the file in bytes; returns 0 and sets the last-error value on failure.
    int Size(uint64_t& size);
    // Reads up to `wanted` bytes; `got` is the count read (0 at the end of the file).
    // Returns 1 on success, 0 on a read error.
    int Read(void* buffer, uint32_t wanted, uint32_t& got);
    // Writes all `length` bytes; returns 1 on success, 0 on failure.
    int Write(const void* data, uint32_t length);
    void Close();

  private:
    explicit File(std::FILE* stream) : stream_(stream) {}
    std::FILE* stream_ = nullptr;
};

// Deletes a file; returns 1 on success, 0 on failure.
int DeleteFileNamed(const char* name);
