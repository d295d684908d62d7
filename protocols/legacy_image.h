// The image of the legacy loaders 10.0 to 12.3: the PAD payload loaded into memory and checked
// against the image type chosen with -t.
#pragma once

#include <cstdint>
#include <memory>

// The kind of image sent to a legacy loader, chosen from the -t letter (upper case).
enum class LegacyState : char {
    None = 0,
    A = 'A',  // application in flash
    F = 'F',  // factory settings
    R = 'R',  // application in RAM
    B = 'B',  // boot image in flash
    C = 'C',  // boot image in RAM
    S = 'S',  // software-download image in flash
};
// Set by CheckImageType for every update; read by the access, the id check and the transfer.
extern LegacyState LegacyImageState;

// A PAD image payload loaded for the legacy transfer. The block holds payloadCapacity bytes,
// more than payloadLength, so that an incompressible rest can be compressed in place.
struct LegacyImage {
    std::unique_ptr<uint8_t[]> payload;
    uint32_t payloadCapacity = 0;
    uint32_t payloadLength = 0;
    uint32_t softwareId = 0;  // 0 when the file's tag holds none
};
// Loads and checks a PAD image (tag of 0, 1 or 5 bytes, matching sum, nothing behind the
// sum). 1 on success; 0 on failure, with `image` left empty.
[[nodiscard]] int LoadLegacyImage(const char* fileName, LegacyImage& image);
// Checks the payload against the image type letter (any case) and sets LegacyImageState; R, B, C
// and S need the service build (serviceBuild 1). 1 when accepted; 0 after printing the reason
// (nothing for a rejected R, B, C or S image).
[[nodiscard]] int CheckImageType(char letter, int serviceBuild, const uint8_t* payload,
                                 uint32_t payloadLength);
