// bzip2 compression of images: the CompressedImage container with its trial decompression and
// the correction for the 4.21 and 4.23 loaders, and in-place compression of a buffer range.
#include "image/compression.h"

#include <bzlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "common/messages.h"
#include "image/pad_image.h"
#include "platform/platform.h"

std::array<uint8_t, CompressedBufferSize> CompressedBuffer{};
std::array<uint8_t, TrialBufferSize> TrialBuffer{};

namespace {

constexpr int BlockSize100k = 1;
constexpr int Verbosity = 0;
constexpr int WorkFactor = 30;
constexpr int SmallDecompress = 0;

constexpr uint32_t StreamCapacity = ImageBufferSize;
constexpr int MaxAttempts = 10;

// The 4.21 and 4.23 loaders choke on some streams; a pattern over this image range changes
// the stream until one passes the trial.
constexpr uint32_t Loader421 = 0x00040015;
constexpr uint32_t Loader423 = 0x00040017;
constexpr uint32_t CorrectionStart = 0xBF00;
constexpr uint32_t CorrectionLength = 0x4000;

constexpr uint32_t ScratchSize = 1048576;

int Compress(uint8_t* dest, uint32_t& destLength, const uint8_t* source, uint32_t sourceLength) {
    unsigned int length = destLength;
    // The library takes non-const pointers but does not write through the source.
    int rc = BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(dest), &length,
                                      const_cast<char*>(reinterpret_cast<const char*>(source)),
                                      sourceLength, BlockSize100k, Verbosity, WorkFactor);
    destLength = length;
    return rc;
}

// Decompresses the start of the stream: does it either end or fill the trial buffer within
// the first TrialBufferSize stream bytes?
int TrialDecompress(uint32_t headerLength) {
    unsigned int outLength = TrialBufferSize;
    return BZ2_bzBuffToBuffDecompress(
        reinterpret_cast<char*>(TrialBuffer.data()), &outLength,
        reinterpret_cast<char*>(CompressedBuffer.data() + headerLength), TrialBufferSize,
        SmallDecompress, Verbosity);
}

uint32_t ByteSum(const uint8_t* data, uint32_t length) {
    uint32_t sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        sum += data[i];
    }
    return sum;
}

// Overwrites the correction range with the attempt's pattern and puts a fresh payload sum into
// the image's checksum field. Done only where the range lies wholly within the payload.
void CorrectImage(uint32_t imageSize, uint32_t headerLength, int attempt) {
    if (imageSize < CorrectionStart + CorrectionLength + 4) {
        return;
    }
    for (uint32_t i = 0; i < CorrectionLength; ++i) {
        ImageBuffer[CorrectionStart + i] = static_cast<uint8_t>(static_cast<uint32_t>(attempt) * i);
    }
    const uint32_t checksumOffset = imageSize - 4;
    WriteBigEndian32(ImageBuffer.data() + checksumOffset,
                     ByteSum(ImageBuffer.data() + headerLength, checksumOffset - headerLength));
}

void ReportCompressionError(int rc) {
    std::fprintf(ErrorOutput(), "\ncan not compress file (rc=%i)!!\nSwitch off settop box !!\n",
                 rc);
}

}  // namespace

int BuildCompressedImage(uint32_t imageSize, int type, uint32_t softwareId, uint32_t& totalSize) {
    totalSize = 0;
    if (imageSize > ImageBufferSize) {
        ReportCompressionError(BZ_PARAM_ERROR);
        return 0;
    }
    if (type != 2 && (type < 4 || type > 6)) {
        // No compression for this loader: the image goes out as it is, marked as type 4.
        std::fprintf(ErrorOutput(), "\nYou cannot use compressed download with this version (%i)\n",
                     type);
        std::memcpy(CompressedBuffer.data(), ImageBuffer.data(), imageSize);
        if (imageSize > 4) {
            CompressedBuffer[4] = 4;
        }
        totalSize = imageSize;
        return 1;
    }

    const uint32_t headerLength = type == 2 ? 5 : 9;
    uint32_t streamLength = 0;
    for (int attempt = 1;; ++attempt) {
        streamLength = StreamCapacity;
        int rc = Compress(CompressedBuffer.data() + headerLength, streamLength, ImageBuffer.data(),
                          imageSize);
        if (rc != BZ_OK) {
            ReportCompressionError(rc);
            return 0;
        }
        if (TrialDecompress(headerLength) != BZ_UNEXPECTED_EOF) {
            break;
        }
        std::printf("%s %i\n", messageText(Message::TryingToCorrect), attempt);
        if (softwareId == Loader421 || softwareId == Loader423) {
            CorrectImage(imageSize, headerLength, attempt);
        }
        if (attempt == MaxAttempts) {
            break;
        }
    }

    WriteBigEndian32(CompressedBuffer.data(), streamLength);
    CompressedBuffer[4] = static_cast<uint8_t>(type);
    if (headerLength == 9) {
        WriteBigEndian32(CompressedBuffer.data() + 5, softwareId);
    }
    WriteBigEndian32(CompressedBuffer.data() + headerLength + streamLength,
                     ByteSum(CompressedBuffer.data() + headerLength, streamLength));
    totalSize = headerLength + streamLength + 4;
    return 1;
}

int CompressImageRange(std::span<uint8_t> buffer, uint32_t& length, uint32_t offset) {
    if (offset > length || length > buffer.size()) {
        return 1;
    }
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[ScratchSize]);
    if (!scratch) {
        std::printf("memory Error...\n");
        return 1;
    }
    uint32_t compressedLength = ScratchSize;
    // An empty range may sit at the very end of (or be) an empty block; the library wants a
    // real source address even for no bytes.
    static const uint8_t noBytes = 0;
    const uint8_t* source = offset == length ? &noBytes : buffer.data() + offset;
    int rc = Compress(scratch.get(), compressedLength, source, length - offset);
    if (rc != BZ_OK) {
        std::printf("error compressing file %d\n", rc);
        return 1;
    }
    if (compressedLength == 0) {
        std::printf("bzip image is zero -> error\n");
        return 1;
    }
    // The result goes back into the caller's block; what does not fit there is reported as
    // the library reports a full output buffer.
    if (compressedLength > buffer.size() - offset) {
        std::printf("error compressing file %d\n", BZ_OUTBUFF_FULL);
        return 1;
    }
    std::memcpy(buffer.data() + offset, scratch.get(), compressedLength);
    length = offset + compressedLength;
    return 0;
}
