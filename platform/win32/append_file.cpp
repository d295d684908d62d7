// Appending on Windows: a handle with FILE_APPEND_DATA and no other write right, so that every
// WriteFile goes to the end of the file as one piece.
#include <windows.h>

#include "platform/append_file.h"
#include "platform/platform.h"

int AppendFile::Open(const char* name) {
    Close();
    HANDLE handle = CreateFileA(name, FILE_APPEND_DATA | SYNCHRONIZE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        SetLastErrorValue(GetLastError());
        return 0;
    }
    if (GetFileType(handle) != FILE_TYPE_DISK) {
        // A pipe or a device: not a log file.
        CloseHandle(handle);
        SetLastErrorValue(ERROR_INVALID_FUNCTION);
        return 0;
    }
    handle_ = reinterpret_cast<std::intptr_t>(handle);
    return 1;
}

int AppendFile::Append(const char* data, uint32_t length) {
    if (handle_ == -1) {
        SetLastErrorValue(ERROR_INVALID_HANDLE);
        return 0;
    }
    DWORD written = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), data, length, &written, nullptr)) {
        SetLastErrorValue(GetLastError());
        return 0;
    }
    if (written != length) {
        SetLastErrorValue(ERROR_HANDLE_DISK_FULL);
        return 0;
    }
    return 1;
}

void AppendFile::Close() {
    if (handle_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
        handle_ = -1;
    }
}
