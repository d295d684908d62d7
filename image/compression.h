// bzip2 compression of images: the CompressedImage container sent to newer bootloaders, and
// in-place compression of part of a buffer for the legacy loaders.
//
// Container (big-endian): stream length Z (4 bytes), image type (1 byte: 2, 4, 5 or 6), software
// id (4 bytes, types 4 to 6 only), the bzip2 stream, the byte sum of the stream (4 bytes).
#pragma once

#include <array>
#include <cstdint>
#include <span>

inline constexpr uint32_t CompressedBufferSize = 9 + 3145728 + 4;
extern std::array<uint8_t, CompressedBufferSize> CompressedBuffer;

inline constexpr uint32_t TrialBufferSize = 153600;
extern std::array<uint8_t, TrialBufferSize> TrialBuffer;

// Compresses the first imageSize bytes of ImageBuffer into a container at the start of
// CompressedBuffer. Returns 1 with `totalSize` set on success, 0 on failure. May correct the
// image in ImageBuffer for the 4.21 and 4.23 loaders.
[[nodiscard]] int BuildCompressedImage(uint32_t imageSize, int type, uint32_t softwareId,
                                       uint32_t& totalSize);

// Compresses buffer[offset, length) in place: on success (0) `length` becomes offset plus the
// compressed size. Fails (1) when offset > length, on a compression error, or when the result
// does not fit into `buffer` (whose size is the block's capacity).
[[nodiscard]] int CompressImageRange(std::span<uint8_t> buffer, uint32_t& length, uint32_t offset);
