// The image transfer of the legacy loaders, in the three variants that the LegacyLoaderTable
// (protocols/legacy_path.h) names.
#pragma once

#include <cstdint>

#include "serial/port.h"

// A legacy transfer variant: port, payload (may be overwritten in place; its capacity may
// exceed the payload length), payload length in/out, compression start. Result 0 is success.
using LegacyTransferFunction = int(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                                   uint32_t& payloadLength, uint32_t compressFrom);
using LegacyTransferRoutine = LegacyTransferFunction*;

[[nodiscard]] LegacyTransferFunction LegacyTransfer10;
[[nodiscard]] LegacyTransferFunction LegacyTransfer11;
[[nodiscard]] LegacyTransferFunction LegacyTransfer12;
