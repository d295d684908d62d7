// LoadStampedImage and its segment walk on arbitrary files: the loaded bytes must be the file
// with the software id written into bytes 5 to 8 and into the id field of every segment header
// that the walk reaches, and nothing behind the loaded bytes may change (bytes 5 to 8 aside).
//
// Input: the software id (4 bytes), then the file.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/pad_image.h"

namespace {

constexpr uint64_t FirstSegment = 9;
constexpr uint64_t HeaderSize = 48;
constexpr uint64_t IdField = 16;
constexpr uint64_t LengthField = 32;
constexpr size_t GuardBytes = 64;
constexpr uint8_t GuardValue = 0xA5;

// The file as it must look after stamping: the tag's id, then a walk from header to header
// while a header begins before the checksum field. An id field or a length field that would
// reach past the file is not touched; a length field past the file ends the walk.
std::vector<uint8_t> StampReference(const uint8_t* file, size_t n, uint32_t softwareId) {
    // Bytes 5 to 8 are written even when the file is shorter (the buffer has room for them).
    std::vector<uint8_t> image(file, file + n);
    image.resize(std::max<size_t>(n, 9));
    WriteBigEndian32(image.data() + 5, softwareId);
    image.resize(n);
    auto stamp = [&](uint64_t at) {
        if (at + 4 <= n) {
            WriteBigEndian32(image.data() + at, softwareId);
        }
    };
    if (n <= 13) {
        return image;
    }
    for (uint64_t p = FirstSegment; p + 4 < n;) {
        stamp(p + IdField);
        if (p + LengthField + 4 > n) {
            break;
        }
        p += HeaderSize + ReadBigEndian32(image.data() + p + LengthField);
    }
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::ScratchFile file;
    fuzz::InputReader input(data, size);
    const uint32_t softwareId = input.Word32();
    const size_t n = input.Left();
    if (n + GuardBytes > ImageBufferSize) {
        return 0;
    }
    const auto* content = reinterpret_cast<const uint8_t*>(input.Rest().data());
    file.Write(content, n);

    // Bytes behind the file get a guard value that the walk must leave alone.
    const size_t guardFrom = std::max<size_t>(n, 9);
    std::fill_n(ImageBuffer.begin() + guardFrom, GuardBytes, GuardValue);

    uint32_t loaded = 0xFFFFFFFF;
    if (LoadStampedImage(file.Path(), loaded, softwareId) != 0) {
        std::fprintf(stderr, "LoadStampedImage refused a readable file of %zu bytes\n", n);
        std::abort();
    }
    if (loaded != n) {
        std::fprintf(stderr, "LoadStampedImage loaded %u of %zu bytes\n", loaded, n);
        std::abort();
    }
    const std::vector<uint8_t> expected = StampReference(content, n, softwareId);
    const auto differs = std::mismatch(expected.begin(), expected.end(), ImageBuffer.begin());
    if (differs.first != expected.end()) {
        std::fprintf(stderr, "byte %td is 0x%02X after stamping, expected 0x%02X\n",
                     differs.first - expected.begin(), *differs.second, *differs.first);
        std::abort();
    }
    for (size_t i = guardFrom; i < guardFrom + GuardBytes; ++i) {
        if (ImageBuffer[i] != GuardValue) {
            std::fprintf(stderr, "byte %zu behind the %zu loaded bytes was changed\n", i, n);
            std::abort();
        }
    }
    return 0;
}
