// The legacy loaders 10.0 to 12.3: their table, the loader access and id query, and the
// download that runs the transfer of the loader's row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "protocols/legacy_transfer.h"
#include "serial/port.h"

struct LegacyLoaderRow {
    const char* version;  // high and low 16 bits of the software id, e.g. "11.1"
    uint32_t softwareId;
    uint32_t hardwareType;
    uint32_t compressFrom;
    LegacyTransferRoutine transfer;
};

inline constexpr std::size_t LegacyRowCount = 7;
// 7 rows and one terminating row without a transfer.
extern const std::array<LegacyLoaderRow, LegacyRowCount + 1> LegacyLoaderTable;

// Whether some legacy row has this software id and hardware type.
[[nodiscard]] bool FindLegacyRow(uint32_t softwareId, uint8_t hardwareType);

// 0 on success (port open), 1 on failure.
[[nodiscard]] int LegacyDownload(SerialLink link, const char* imageName, int patchImage);

// Sends the loader keyword until the loader answers 0x01 (at most 10 times; in state B once,
// without waiting). 1 on success, 0 on failure.
[[nodiscard]] int OpenLegacyLoader(SerialLink link);
// Asks the reached loader for its software id. 1 on success, 0 on failure.
[[nodiscard]] int QueryBoxSoftwareId(SerialLink link, uint32_t& boxSoftwareId);
