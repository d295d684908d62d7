#include "tests/support/pad_builder.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <system_error>

namespace test {

namespace {

void AppendBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

// Removes the temporary directories when the test program ends.
struct TempDirRegistry {
    std::vector<std::string> paths;
    ~TempDirRegistry() {
        for (const auto& path : paths) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
};

TempDirRegistry& Registry() {
    static TempDirRegistry registry;
    return registry;
}

}  // namespace

uint32_t ByteSum(const std::vector<uint8_t>& bytes) {
    uint32_t sum = 0;
    for (uint8_t b : bytes) {
        sum += b;
    }
    return sum;
}

std::vector<uint8_t> MakePad(const std::vector<uint8_t>& payload, int tagLength,
                             uint8_t hardwareType, uint32_t softwareId) {
    std::vector<uint8_t> image;
    AppendBigEndian32(image, static_cast<uint32_t>(payload.size()));
    std::vector<uint8_t> tag{hardwareType};
    AppendBigEndian32(tag, softwareId);
    tag.resize(tagLength > 0 ? static_cast<size_t>(tagLength) : 0, 0);
    image.insert(image.end(), tag.begin(), tag.end());
    image.insert(image.end(), payload.begin(), payload.end());
    AppendBigEndian32(image, ByteSum(payload));
    return image;
}

std::vector<uint8_t> MakeSegment(uint32_t softwareId, const std::vector<uint8_t>& body) {
    return MakeSegment(softwareId, body, static_cast<uint32_t>(body.size()));
}

std::vector<uint8_t> MakeSegment(uint32_t softwareId, const std::vector<uint8_t>& body,
                                 uint32_t lengthField) {
    std::vector<uint8_t> segment(48, 0);
    for (size_t i = 0; i < 16; ++i) {
        segment[i] = static_cast<uint8_t>(0xA0 + i);  // uninterpreted header bytes
    }
    segment[16] = static_cast<uint8_t>(softwareId >> 24);
    segment[17] = static_cast<uint8_t>(softwareId >> 16);
    segment[18] = static_cast<uint8_t>(softwareId >> 8);
    segment[19] = static_cast<uint8_t>(softwareId);
    segment[32] = static_cast<uint8_t>(lengthField >> 24);
    segment[33] = static_cast<uint8_t>(lengthField >> 16);
    segment[34] = static_cast<uint8_t>(lengthField >> 8);
    segment[35] = static_cast<uint8_t>(lengthField);
    segment.insert(segment.end(), body.begin(), body.end());
    return segment;
}

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 engine(seed);
    std::vector<uint8_t> bytes(count);
    for (auto& b : bytes) {
        b = static_cast<uint8_t>(engine() >> 24);
    }
    return bytes;
}

bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    ok = (std::fclose(file) == 0) && ok;
    return ok;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return bytes;
    }
    uint8_t piece[65536];
    size_t got = 0;
    while ((got = std::fread(piece, 1, sizeof piece, file)) > 0) {
        bytes.insert(bytes.end(), piece, piece + got);
    }
    std::fclose(file);
    return bytes;
}

std::string TempDir() {
    std::error_code error;
    std::filesystem::path base = std::filesystem::temp_directory_path(error);
    if (error) {
        base = "/tmp";
    }
    std::string pattern = (base / "update-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        return std::string();
    }
    Registry().paths.push_back(pattern);
    return pattern;
}

std::vector<std::string> DirectoryNames(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

ScopedCurrentDir::ScopedCurrentDir(const std::string& path) {
    std::error_code error;
    previous_ = std::filesystem::current_path(error).string();
    std::filesystem::current_path(path, error);
}

ScopedCurrentDir::~ScopedCurrentDir() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

}  // namespace test
