// What padtool finds out about an image held in memory: whether it is a sound PAD image and,
// when it is not, why; which legacy image types its payload satisfies; and, for a compressed
// container, what its bzip2 stream holds.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace padtool {

// The largest input padtool reads into memory. Box images are a few MiB; this keeps a wrong
// file (a disk image, a video) from exhausting the machine.
inline constexpr uint64_t MaxInputBytes = 256ull * 1024 * 1024;

struct PadFacts {
    bool sound = false;
    std::string fault;  // why the image is not sound (empty when it is)
    uint64_t fileSize = 0;
    // Known once the length field could be read and the tag length is 0, 1 or 5.
    uint32_t payloadLength = 0;
    uint32_t tagLength = 0;
    uint8_t hardwareType = 0;
    uint32_t softwareId = 0;
    // Known once the whole payload and the checksum field were there.
    bool sumsKnown = false;
    uint32_t storedSum = 0;
    uint32_t computedSum = 0;

    // The image length that update passes around: N + 8.
    uint32_t ImageLength() const { return payloadLength + 8; }
};

// Checks the bytes of a whole PAD file by the rules of the image reader and says what is wrong.
PadFacts InspectPad(std::span<const uint8_t> file);

// The payload of an image whose facts came from InspectPad (empty when unsound).
std::span<const uint8_t> PayloadOf(std::span<const uint8_t> file, const PadFacts& facts);

// The legacy image type letters (A, F, R, B, C, S) whose payload requirement this payload
// meets, in that order. R, B, C and S are accepted by update only under a "VKM" name.
std::string LegacyTypeLetters(std::span<const uint8_t> payload);

// A compressed container: a PAD image whose tag is a container type (1-byte tag 2, or 5-byte
// tag beginning 4, 5 or 6) and whose payload is a bzip2 stream.
struct ContainerFacts {
    bool isContainer = false;
    int type = 0;
    uint32_t softwareId = 0;  // types 4 to 6 only
    uint32_t streamLength = 0;
    uint32_t streamSum = 0;
    bool decompressed = false;   // the stream decompressed completely and exactly
    std::string fault;           // why not (empty when it did)
    std::vector<uint8_t> inner;  // the decompressed image
};

// Recognises a container in a sound PAD image and decompresses its stream.
ContainerFacts InspectContainer(std::span<const uint8_t> file, const PadFacts& facts);

}  // namespace padtool
