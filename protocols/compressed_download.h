// The compressed download of the menu loaders: the image as a CompressedImage container
// (image/compression.h), pushed in pieces while the box's replies are watched.
#pragma once

#include <cstdint>

#include "protocols/block_transfer.h"
#include "serial/port.h"

// Reads, optionally patches (patchImage non-zero), compresses and sends an image as a
// CompressedImage container; limitMs bounds the whole transfer (NoTimeLimit: no bound).
// `ignored` is not used. 1 on success, 0 on failure with the reason in the last-error value.
[[nodiscard]] int SendCompressedImage(SerialLink link, const char* fileName, int type,
                                      uint32_t softwareId, uint32_t limitMs, Progress progress,
                                      int ignored, int patchImage);
