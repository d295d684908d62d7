// The portable half of File: moving, reading, writing and closing through stdio, and the checks
// common to every call. Opening, creating, the size of an open file and the platform's reasons of a
// failure come from platform/posix/base.cpp or platform/win32/base.cpp.
#include "platform/file.h"

#include <cerrno>
#include <cstdio>

#include "platform/platform.h"

File& File::operator=(File&& other) noexcept {
    if (this != &other) {
        Close();
        stream_ = other.stream_;
        other.stream_ = nullptr;
    }
    return *this;
}

int File::Size(uint64_t& size) {
    size = 0;
    if (stream_ == nullptr) {
        SetLastErrorValue(NotOpenError());
        return 0;
    }
    return OpenFileSize(size);
}

int File::Read(void* buffer, uint32_t wanted, uint32_t& got) {
    got = 0;
    if (stream_ == nullptr) {
        SetLastErrorValue(NotOpenError());
        return 0;
    }
    if (wanted == 0) {
        return 1;
    }
    errno = 0;
    const size_t count = std::fread(buffer, 1, wanted, stream_);
    got = static_cast<uint32_t>(count);
    if (count < wanted && std::ferror(stream_)) {
        SetLastErrorValue(ReadError());
        std::clearerr(stream_);
        return 0;
    }
    return 1;
}

int File::Write(const void* data, uint32_t length) {
    if (stream_ == nullptr) {
        SetLastErrorValue(NotOpenError());
        return 0;
    }
    errno = 0;
    // Flushed at once so that a full disk shows in this call, not silently at closing.
    if (std::fwrite(data, 1, length, stream_) != length || std::fflush(stream_) != 0) {
        SetLastErrorValue(WriteError());
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
