// Helpers shared by the fuzz targets: a scratch file for the readers that take a file name,
// and the scripted box fed from fuzz input.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzz {

// A file that is rewritten with each input; removed when the fuzzer ends.
class ScratchFile {
  public:
    ScratchFile() {
        const char* dir = std::getenv("TMPDIR");
        std::string pattern =
            std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/update-fuzz-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0) {
            std::perror("mkstemp");
            std::abort();
        }
        close(fd);
        path_ = pattern;
    }
    ~ScratchFile() { unlink(path_.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    // Replaces the file's content with `size` bytes of `data`.
    void Write(const uint8_t* data, size_t size) const {
        std::FILE* file = std::fopen(path_.c_str(), "wb");
        if (file == nullptr || (size != 0 && std::fwrite(data, 1, size, file) != size) ||
            std::fclose(file) != 0) {
            std::perror(path_.c_str());
            std::abort();
        }
    }
    const char* Path() const { return path_.c_str(); }

  private:
    std::string path_;
};

// Takes bytes off the front of the fuzz input.
class InputReader {
  public:
    InputReader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return size_ == 0; }
    size_t Left() const { return size_; }
    uint8_t Byte() {
        if (size_ == 0) {
            return 0;
        }
        --size_;
        return *data_++;
    }
    uint32_t Word32() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | Byte();
        }
        return value;
    }
    std::string_view Take(size_t n) {
        n = n < size_ ? n : size_;
        std::string_view piece(reinterpret_cast<const char*>(data_), n);
        data_ += n;
        size_ -= n;
        return piece;
    }
    std::string_view Rest() { return Take(size_); }

  private:
    const uint8_t* data_;
    size_t size_;
};

}  // namespace fuzz
