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

// The rows and one terminating row without a transfer. Columns: version, software id, hardware
// type, compression start, transfer.
inline constexpr auto LegacyLoaderTable = std::to_array<LegacyLoaderRow>({
    {"10.0", 0x000A0000, 4, 0x4000, LegacyTransfer10},
    {"11.0", 0x000B0000, 4, 0x4000, LegacyTransfer11},
    {"11.1", 0x000B0001, 4, 0x4000, LegacyTransfer11},
    {"12.0", 0x000C0000, 4, 0x4000, LegacyTransfer12},
    {"12.1", 0x000C0001, 4, 0x4000, LegacyTransfer12},
    {"12.2", 0x000C0002, 4, 0x4000, LegacyTransfer12},
    {"12.3", 0x000C0003, 4, 0x4000, LegacyTransfer12},
    {"", 0, 0, 0, nullptr},
});
// The rows of the LegacyLoaderTable, not counting its terminating row.
inline constexpr std::size_t LegacyRowCount = LegacyLoaderTable.size() - 1;

// Whether some legacy row has this software id and hardware type.
[[nodiscard]] bool FindLegacyRow(uint32_t softwareId, uint8_t hardwareType);

// 0 on success (port open), 1 on failure. imageType is the letter of option -t, serviceBuild 1
// in the service technicians' build.
[[nodiscard]] int LegacyDownload(SerialLink link, const char* imageName, int patchImage,
                                 char imageType, int serviceBuild);

// Sends the loader keyword until the loader answers 0x01 (at most 10 times; in state B once,
// without waiting). 1 on success, 0 on failure.
[[nodiscard]] int OpenLegacyLoader(SerialLink link);
// Asks the reached loader for its software id. 1 on success, 0 on failure.
[[nodiscard]] int QueryBoxSoftwareId(SerialLink link, uint32_t& boxSoftwareId);
