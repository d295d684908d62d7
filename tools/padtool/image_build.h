// The images padtool writes, built in memory: a PAD image around a payload, the hyper
// bootloader wrapped as update wraps it, and a compressed container made by update's own
// compressor.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace padtool {

// A PAD image: payload length, a tag of 0, 1 (hardware type) or 5 bytes (hardware type and
// software id), the payload and its byte sum. tagLength must be 0, 1 or 5.
std::vector<uint8_t> BuildPad(std::span<const uint8_t> payload, uint32_t tagLength,
                              uint8_t hardwareType, uint32_t softwareId);

// The same bytes that update's hyper.pad writer puts into "hyper.pad" for this hardware type
// (0: no tag, otherwise a 1-byte tag), without touching the current directory.
std::vector<uint8_t> BuildHyperPad(uint8_t hardwareType);

// The container that update -c sends for this image: the image is placed in the shared image
// buffer and compressed there with BuildCompressedImage (which may correct the image for the
// 4.21 and 4.23 loaders and print its correction notices). Returns false with the reason in
// `error` when the image does not fit the buffer or cannot be compressed. `corrected` tells
// whether the image was changed by the correction before it was compressed.
bool BuildContainer(std::span<const uint8_t> image, int type, uint32_t softwareId,
                    std::vector<uint8_t>& container, bool& corrected, std::string& error);

}  // namespace padtool
