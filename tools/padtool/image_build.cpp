// Builds the images that padtool writes. The hyper bootloader and the compressor are update's
// own, so what a technician prepares here is what the program itself would send.
#include "tools/padtool/image_build.h"

#include <algorithm>
#include <cstdio>

#include "image/compression.h"
#include "image/pad_image.h"

namespace padtool {

namespace {

void AppendBigEndian32(std::vector<uint8_t>& out, uint32_t value) {
    uint8_t field[4];
    WriteBigEndian32(field, value);
    out.insert(out.end(), field, field + 4);
}

}  // namespace

std::vector<uint8_t> BuildPad(std::span<const uint8_t> payload, uint32_t tagLength,
                              uint8_t hardwareType, uint32_t softwareId) {
    std::vector<uint8_t> image;
    image.reserve(payload.size() + tagLength + 8);
    AppendBigEndian32(image, static_cast<uint32_t>(payload.size()));
    if (tagLength >= 1) {
        image.push_back(hardwareType);
    }
    if (tagLength == 5) {
        AppendBigEndian32(image, softwareId);
    }
    uint32_t sum = 0;
    for (uint8_t byte : payload) {
        sum += byte;
    }
    image.insert(image.end(), payload.begin(), payload.end());
    AppendBigEndian32(image, sum);
    return image;
}

std::vector<uint8_t> BuildHyperPad(uint8_t hardwareType) {
    return BuildPad(HyperBootloaderImage, hardwareType != 0 ? 1 : 0, hardwareType, 0);
}

bool BuildContainer(std::span<const uint8_t> image, int type, uint32_t softwareId,
                    std::vector<uint8_t>& container, bool& corrected, std::string& error) {
    container.clear();
    corrected = false;
    if (image.size() > ImageBufferSize) {
        error = "the image has " + std::to_string(image.size()) + " bytes; update reads at most " +
                std::to_string(ImageBufferSize) + " bytes of an image to compress it";
        return false;
    }
    if (type != 2 && (type < 4 || type > 6)) {
        error = "container type " + std::to_string(type) + " does not exist (2, 4, 5 or 6)";
        return false;
    }
    // As update -c does it: the image at the start of the shared buffer, compressed from there.
    std::copy(image.begin(), image.end(), ImageBuffer.begin());
    const auto imageSize = static_cast<uint32_t>(image.size());
    uint32_t total = 0;
    std::fflush(stdout);
    if (!BuildCompressedImage(imageSize, type, softwareId, total)) {
        error = "the image cannot be compressed";
        return false;
    }
    std::fflush(stdout);
    corrected = !std::equal(image.begin(), image.end(), ImageBuffer.begin());
    container.assign(CompressedBuffer.begin(), CompressedBuffer.begin() + total);
    return true;
}

}  // namespace padtool
