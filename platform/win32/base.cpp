// Last-error value, console and process priority on Windows.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/file.h"
#include "platform/platform.h"

namespace {
// The system keeps its own copy of the reason of the last failure: the C runtime and the
// console calls between a failure and its report may change the Win32 value.
thread_local uint32_t lastError = 0;
}  // namespace

void SetLastErrorValue(uint32_t value) {
    lastError = value;
    SetLastError(value);
}

uint32_t GetLastErrorValue() {
    return lastError;
}

int ReadConsoleChar() {
    std::fflush(stdout);
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

void ConsoleBeep() {
    Beep(1000, 500);
}

uint32_t GetProcessPriorityClass() {
    return static_cast<uint32_t>(GetPriorityClass(GetCurrentProcess()));
}

void SetProcessPriorityClass(uint32_t priorityClass) {
    SetPriorityClass(GetCurrentProcess(), priorityClass);
}

// ---- Files --------------------------------------------------------------------------------

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        stream_ = other.stream_;
        other.stream_ = nullptr;
    }
    return *this;
}

File File::OpenRead(const char* name) {
    // Shared read access, existing files only, read sequentially.
    HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return File();
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
        return File();
    }
    std::FILE* stream = _fdopen(fd, "rb");
    if (stream == nullptr) {
        _close(fd);
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
        return File();
    }
    return File(stream);
}

File File::Create(const char* name) {
    HANDLE handle =
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return File();
    }
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
        return File();
    }
    std::FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        _close(fd);
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
        return File();
    }
    return File(stream);
}

int File::Size(uint64_t& size) {
    size = 0;
    if (stream_ == nullptr) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
        return 0;
    }
    LARGE_INTEGER value{};
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
    if (!GetFileSizeEx(handle, &value) || value.QuadPart < 0) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return 0;
    }
    size = static_cast<uint64_t>(value.QuadPart);
    return 1;
}

int File::Read(void* buffer, uint32_t wanted, uint32_t& got) {
    got = 0;
    if (stream_ == nullptr) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (wanted == 0)
        return 1;
    const size_t count = std::fread(buffer, 1, wanted, stream_);
    got = static_cast<uint32_t>(count);
    if (count < wanted && std::ferror(stream_)) {
        SetLastErrorValue(ERROR_READ_FAULT);
        std::clearerr(stream_);
        return 0;
    }
    return 1;
}

int File::Write(const void* data, uint32_t length) {
    if (stream_ == nullptr) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (std::fwrite(data, 1, length, stream_) != length || std::fflush(stream_) != 0) {
        SetLastErrorValue(ERROR_WRITE_FAULT);
        std::clearerr(stream_);
        return 0;
    }
    return 1;
}

void File::Close() {
    if (stream_ != nullptr) {
        std::fclose(stream_);
        stream_ = nullptr;
    }
}

int DeleteFileNamed(const char* name) {
    if (!DeleteFileA(name)) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return 0;
    }
    return 1;
}
