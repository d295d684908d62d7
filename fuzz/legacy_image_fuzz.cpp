// The legacy loaders' image loading (LoadLegacyImage) and the check against the image type
// letter (CheckImageType) on arbitrary files. A loaded image must be exactly what the file
// holds; the type check must only ever accept with the state of the letter it was given.
//
// Input: the type letter, a byte whose low bit is the service mode, then the file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "image/pad_image.h"
#include "protocols/legacy_image.h"

namespace {

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "legacy image: %s\n", what);
    std::abort();
}

// Whether the file is a sound image: length, a tag of 0, 1 or 5 bytes, payload and its sum,
// nothing behind the sum.
bool SoundImage(const uint8_t* file, size_t size, uint32_t& n, size_t& tag) {
    if (size < 8) {
        return false;
    }
    n = ReadBigEndian32(file);
    if (uint64_t{n} + 8 > size) {
        return false;
    }
    tag = size - n - 8;
    if (tag != 0 && tag != 1 && tag != 5) {
        return false;
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) {
        sum += file[4 + tag + i];
    }
    return sum == ReadBigEndian32(file + 4 + tag + n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const fuzz::ScratchFile file;
    fuzz::InputReader input(data, size);
    const char letter = static_cast<char>(input.Byte());
    const int serviceBuild = input.Byte() & 1;
    const size_t fileSize = input.Left();
    const auto* content = reinterpret_cast<const uint8_t*>(input.Rest().data());
    file.Write(content, fileSize);

    LegacyImage image;
    const int loaded = LoadLegacyImage(file.Path(), image);
    uint32_t n = 0;
    size_t tag = 0;
    const bool sound = SoundImage(content, fileSize, n, tag);
    if (loaded != (sound ? 1 : 0)) {
        Fail(sound ? "a sound image was refused" : "a faulty image was accepted");
    }
    if (loaded == 0) {
        if (image.payload != nullptr) {
            Fail("a refused image left a payload behind");
        }
        return 0;
    }
    if (image.payloadLength != n || image.payloadCapacity < n || image.payload == nullptr) {
        Fail("the payload block does not match the length field");
    }
    if (n != 0 && std::memcmp(image.payload.get(), content + 4 + tag, n) != 0) {
        Fail("the payload differs from the file");
    }
    if (image.softwareId != (tag == 5 ? ReadBigEndian32(content + 5) : 0)) {
        Fail("the software id differs from the tag");
    }

    LegacyImageState = LegacyState::A;
    const int accepted =
        CheckImageType(letter, serviceBuild, image.payload.get(), image.payloadLength);
    const char upper = (letter >= 'a' && letter <= 'z') ? static_cast<char>(letter - 32) : letter;
    if (accepted == 1 && static_cast<char>(LegacyImageState) != upper) {
        Fail("the type check accepted with another state than its letter");
    }
    if (accepted == 0 && LegacyImageState != LegacyState::None) {
        Fail("a refused type left a state behind");
    }
    return 0;
}
