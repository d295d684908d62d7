// The box's side of the image formats: its own decoder of the prefix-coded image stream, the
// check of a received PAD image, and the check and unpacking of a CompressedImage container.
// Shared by every player whose bootloader takes these forms (menu loaders, the hyper
// bootloader, the 4.11 to 4.13 loaders).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "box_code_table.h"

namespace box {

// Decodes a stream of prefix codes, byte by byte as it arrives. The decoder is built from the
// code of every byte value and checks that they form a complete prefix code of at most
// MaxCodeLength bits.
class PrefixDecoder {
  public:
    static constexpr int MaxCodeLength = 13;

    // False (with the reason in `problem`) when the codes are not a complete prefix code.
    bool Build(std::span<const Code, 256> codes, std::string& problem);
    // The decoder over the box's own code table (BoxCodeTable).
    static const PrefixDecoder& ForBoxCodeTable();

    // Starts a new stream.
    void Reset();
    // Decodes `input`, appending every completed byte value to `out`.
    void Feed(std::span<const uint8_t> input, std::vector<uint8_t>& out);
    // Bits received that do not yet complete a code.
    int PendingBitCount() const { return pendingBits_; }
    // The stream may end here: fewer than 8 bits are pending and all of them are 1 (the padding
    // up to the byte boundary).
    bool AtPaddedEnd() const;

  private:
    struct Entry {
        uint8_t byte = 0;
        uint8_t length = 0;  // 0: no code begins with these bits
    };
    // Indexed by the next MaxCodeLength bits of the stream.
    std::array<Entry, 1u << MaxCodeLength> table_{};
    uint64_t bits_ = 0;  // pending bits in the low pendingBits_ bits
    int pendingBits_ = 0;
};

// ---- PAD images ------------------------------------------------------------------------------

struct PadLayout {
    uint32_t payloadLength = 0;  // N
    uint32_t tagLength = 0;      // 0, 1 or 5
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    size_t Size() const { return payloadLength + tagLength + 8; }
};

// Whether `image` is exactly one sound PAD image: a tag of 0, 1 or 5 bytes (T = size - N - 8)
// and a payload sum that matches. False with the reason in `problem`.
bool CheckPadImage(std::span<const uint8_t> image, PadLayout& layout, std::string& problem);

// Receives a prefix-coded PAD image byte by byte, as a box does, and tells when it is complete.
// Nobody announces the stream's length: the image ends where the decoded bytes form a sound PAD
// image (tag of 0, 1 or 5 bytes after the payload length N) and the stream stands at its padded
// end. With an expected size the end is where that many bytes are decoded.
class EncodedImageReceiver {
  public:
    explicit EncodedImageReceiver(size_t expectedSize = 0);
    // Takes one received byte; true when the image is complete with it.
    bool Take(uint8_t byte);
    const std::vector<uint8_t>& Image() const { return image_; }
    // The payload length N once its four bytes are decoded, else -1.
    int64_t PayloadLength() const;
    // Bytes received (encoded) so far.
    size_t Received() const { return received_; }

  private:
    PrefixDecoder decoder_;
    std::vector<uint8_t> image_;
    size_t expectedSize_;
    size_t received_ = 0;
    int nextCandidate_ = 0;  // the tag length to try next: index into {0, 1, 5}
};

// ---- CompressedImage containers --------------------------------------------------------------

// Header length for a container type: 5 for type 2, 9 for types 4 to 6, 0 for other types.
uint32_t ContainerHeaderLength(uint8_t type);

// The container's total size once its header has arrived: 0 while more header bytes are
// needed, SIZE_MAX for a type that has no container layout.
size_t ContainerTotalSize(std::span<const uint8_t> bytes);

struct ContainerExpectation {
    int type = 0;                  // 0: any of 2, 4, 5, 6
    bool checkSoftwareId = false;  // types 4 to 6
    uint32_t softwareId = 0;
    size_t maxImageSize = 3145728;  // larger decompressed images are refused
};

struct ContainerContent {
    uint8_t type = 0;
    uint32_t softwareId = 0;     // 0 for type 2
    uint32_t streamLength = 0;   // Z
    std::vector<uint8_t> image;  // the decompressed stream
};

// Checks a whole container (header, type, software id, stream sum) and decompresses its
// stream. False with the reason in `problem`.
bool UnpackContainer(std::span<const uint8_t> container, const ContainerExpectation& expected,
                     ContainerContent& content, std::string& problem);

}  // namespace box
