// BuildCompressedImage on any image: the container must carry the stream length, the type, for
// types 4 to 6 the software id, a bzip2 stream that gives back the image as it is left in the
// image buffer, and the stream's byte sum; a type without compressed download gets the image
// itself with byte 4 set to 4.
//
// Input: the type (any value), the software id (4 bytes), then the image.
#include <bzlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "image/compression.h"
#include "image/pad_image.h"

namespace {

constexpr size_t LargestImage = 200000;

[[noreturn]] void Fail(const char* what, long got, long want) {
    std::fprintf(stderr, "BuildCompressedImage: %s (%ld, expected %ld)\n", what, got, want);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InputReader input(data, size);
    const int type = static_cast<int8_t>(input.Byte());
    const uint32_t softwareId = input.Word32();
    const size_t imageSize = input.Left();
    if (imageSize > LargestImage) {
        return 0;
    }
    const auto* image = reinterpret_cast<const uint8_t*>(input.Rest().data());
    std::copy_n(image, imageSize, ImageBuffer.begin());

    uint32_t total = 0;
    const int result =
        BuildCompressedImage(static_cast<uint32_t>(imageSize), type, softwareId, total);
    if (result != 1) {
        Fail("an image of this size was not compressed", result, 1);
    }
    if (type != 2 && (type < 4 || type > 6)) {
        if (total != imageSize) {
            Fail("the uncompressed container has another size", total,
                 static_cast<long>(imageSize));
        }
        for (size_t i = 0; i < imageSize; ++i) {
            if (CompressedBuffer[i] != (i == 4 ? 4 : image[i])) {
                Fail("the uncompressed container differs from the image at byte",
                     static_cast<long>(i), 0);
            }
        }
        return 0;
    }

    const uint32_t header = type == 2 ? 5 : 9;
    const uint32_t z = ReadBigEndian32(CompressedBuffer.data());
    if (total != header + z + 4) {
        Fail("the total size is not header + stream + sum", total, header + z + 4);
    }
    if (CompressedBuffer[4] != type) {
        Fail("the type byte", CompressedBuffer[4], type);
    }
    if (type != 2 && ReadBigEndian32(CompressedBuffer.data() + 5) != softwareId) {
        Fail("the software id", ReadBigEndian32(CompressedBuffer.data() + 5), softwareId);
    }
    uint32_t sum = 0;
    for (uint32_t i = 0; i < z; ++i) {
        sum += CompressedBuffer[header + i];
    }
    if (ReadBigEndian32(CompressedBuffer.data() + header + z) != sum) {
        Fail("the stream's byte sum", ReadBigEndian32(CompressedBuffer.data() + header + z), sum);
    }

    static std::vector<uint8_t> unpacked(LargestImage + 1);
    unsigned int unpackedSize = static_cast<unsigned int>(unpacked.size());
    const int rc = BZ2_bzBuffToBuffDecompress(
        reinterpret_cast<char*>(unpacked.data()), &unpackedSize,
        reinterpret_cast<char*>(CompressedBuffer.data() + header), z, 0, 0);
    if (rc != BZ_OK) {
        Fail("the stream does not decompress", rc, BZ_OK);
    }
    if (unpackedSize != imageSize ||
        !std::equal(unpacked.begin(), unpacked.begin() + unpackedSize, ImageBuffer.begin())) {
        Fail("the stream does not give back the image", unpackedSize, static_cast<long>(imageSize));
    }
    return 0;
}
