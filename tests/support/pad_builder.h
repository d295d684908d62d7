// Helpers for tests that need PAD images and files: building images in memory, writing and
// reading files, fresh temporary directories.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace test {

// Byte sum of `bytes`, modulo 2^32 (the PAD checksum).
uint32_t ByteSum(const std::vector<uint8_t>& bytes);

// A PAD image: N (big-endian), a tag of `tagLength` bytes, the payload and its byte sum.
// The tag holds the hardware type, then the software id (big-endian); a tag longer than 5 bytes
// is padded with zeros, a shorter one holds the leading bytes only. Tag lengths other than
// 0, 1 and 5 make images that the reader must refuse.
std::vector<uint8_t> MakePad(const std::vector<uint8_t>& payload, int tagLength,
                             uint8_t hardwareType, uint32_t softwareId);

// One segment for the payload of a 5-byte-tag image: a 48-byte header with the software id at
// bytes 16 to 19 and the body length at bytes 32 to 35 (both big-endian), then the body.
// `lengthField` overrides the stored length (to build hostile images); by default it is the
// body's size.
std::vector<uint8_t> MakeSegment(uint32_t softwareId, const std::vector<uint8_t>& body);
std::vector<uint8_t> MakeSegment(uint32_t softwareId, const std::vector<uint8_t>& body,
                                 uint32_t lengthField);

// `count` pseudo-random bytes, the same for the same seed (incompressible test data).
std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed);

// Writes the whole file; true on success.
bool WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes);
// The whole file, or an empty vector when it cannot be read.
std::vector<uint8_t> ReadFileBytes(const std::string& path);

// A fresh, empty directory under the system's temporary directory. Every directory made here
// is removed with its content when the test program ends.
std::string TempDir();

// The names in `dir`, sorted (for checking what a run left behind).
std::vector<std::string> DirectoryNames(const std::string& dir);

// Makes `path` the current directory until the object goes out of scope.
class ScopedCurrentDir {
  public:
    explicit ScopedCurrentDir(const std::string& path);
    ~ScopedCurrentDir();
    ScopedCurrentDir(const ScopedCurrentDir&) = delete;
    ScopedCurrentDir& operator=(const ScopedCurrentDir&) = delete;

  private:
    std::string previous_;
};

}  // namespace test
