// Last-error value, console, process priority and the platform half of files (opening,
// creating, the size, deleting, the reasons of a failure) on Windows.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "platform/file.h"
#include "platform/interrupt.h"
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
    CheckInterrupt();
    const int c = std::getchar();
    if (c == EOF) {
        // Ctrl-C ends a console read with the end of input, possibly before the handler thread
        // has recorded the event: give it a moment, so the interrupt is not taken for an answer.
        HANDLE interrupt = static_cast<HANDLE>(InterruptEvent());
        if (interrupt != nullptr) {
            WaitForSingleObject(interrupt, 100);
        }
        CheckInterrupt();
        return -1;
    }
    return c;
}

void ConsoleBeep() {
    Beep(1000, 500);
}

uint32_t CurrentProcessId() {
    return static_cast<uint32_t>(GetCurrentProcessId());
}

uint32_t GetProcessPriorityClass() {
    return static_cast<uint32_t>(GetPriorityClass(GetCurrentProcess()));
}

void SetProcessPriorityClass(uint32_t priorityClass) {
    SetPriorityClass(GetCurrentProcess(), priorityClass);
}

// ---- Files --------------------------------------------------------------------------------

namespace {

// A descriptor of the C library over a file handle; -1 (and the handle closed) on failure.
int DescriptorOf(HANDLE handle, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
    }
    return fd;
}

// A descriptor for writing to the file `name`, created as `disposition` says (CREATE_ALWAYS,
// CREATE_NEW); -1 with the last-error value set on failure.
int CreatedDescriptor(const char* name, DWORD disposition) {
    HANDLE handle =
        CreateFileA(name, GENERIC_WRITE, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return -1;
    }
    return DescriptorOf(handle, _O_WRONLY);
}

}  // namespace

File File::OpenRead(const char* name) {
    // Shared read access, existing files only, read sequentially.
    HANDLE handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return File();
    }
    // Only files on a disk count: a pipe, the console or a device would make the reading wait.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        CloseHandle(handle);
        SetLastErrorValue(ERROR_INVALID_PARAMETER);
        return File();
    }
    const int fd = DescriptorOf(handle, _O_RDONLY);
    return fd < 0 ? File() : OpenStream(fd, "rb");
}

OpenProblem ClassifyOpenFailure(const char* name, uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OpenProblem::Missing;
        case ERROR_INVALID_PARAMETER:  // OpenRead's reason for anything but a file on a disk
            return OpenProblem::NotRegular;
        case ERROR_ACCESS_DENIED: {
            // Opening a directory as a file is refused with "access denied".
            const DWORD attributes = GetFileAttributesA(name);
            return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)
                       ? OpenProblem::Directory
                       : OpenProblem::Other;
        }
        default:
            return OpenProblem::Other;
    }
}

File File::Create(const char* name) {
    const int fd = CreatedDescriptor(name, CREATE_ALWAYS);
    return fd < 0 ? File() : OpenStream(fd, "wb");
}

File File::CreateNew(const char* name) {
    const int fd = CreatedDescriptor(name, CREATE_NEW);
    return fd < 0 ? File() : OpenStream(fd, "wb");
}

File File::OpenStream(int fd, const char* mode) {
    std::FILE* stream = _fdopen(fd, mode);
    if (stream == nullptr) {
        _close(fd);
        SetLastErrorValue(ERROR_TOO_MANY_OPEN_FILES);
        return File();
    }
    return File(stream);
}

int File::OpenFileSize(uint64_t& size) {
    LARGE_INTEGER value{};
    HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream_)));
    if (!GetFileSizeEx(handle, &value) || value.QuadPart < 0) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return 0;
    }
    size = static_cast<uint64_t>(value.QuadPart);
    return 1;
}

uint32_t File::NotOpenError() {
    return ERROR_INVALID_HANDLE;
}

uint32_t File::ReadError() {
    return ERROR_READ_FAULT;
}

uint32_t File::WriteError() {
    return ERROR_WRITE_FAULT;
}

int DeleteFileNamed(const char* name) {
    if (!DeleteFileA(name)) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return 0;
    }
    return 1;
}

int ReplaceFileNamed(const char* from, const char* to) {
    if (!MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
        SetLastErrorValue(static_cast<uint32_t>(GetLastError()));
        return 0;
    }
    return 1;
}
