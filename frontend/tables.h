// The dispatch tables: which download procedure serves which bootloader version and hardware
// type, and which legacy loaders exist.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frontend/settings.h"
#include "serial/serial_link.h"

// The common signature of every procedure named by the BootloaderTable. Arguments, in order:
// link, image name, image length (N + 8, or the file size in raw mode), software id, quit
// request (always 0), compressed image (-2/-c), compress here (-c), baud rate (115200),
// patch image (-x or set by the session), the row's parameter. Result 0 is success.
using DownloadProcedure = int (*)(SerialLink link, const char* imageName, uint32_t imageLength,
                                  uint32_t softwareId, int quitRequest, int compressedImage,
                                  int compressInput, uint32_t baudRate, int patchImage, int param);

struct BootloaderRow {
    const char* version;    // "major.minor" in decimal, e.g. "4.10"
    uint32_t hardwareType;  // only the low 8 bits are compared
    int param;              // 1 on the 12.4 to 12.6 rows (raise the process priority)
    DownloadProcedure procedure;
};

inline constexpr std::size_t BootloaderRowCount = 197;
// 197 rows and one terminating row without a procedure.
extern const std::array<BootloaderRow, BootloaderRowCount + 1> BootloaderTable;

// A legacy transfer variant: port, payload (may be overwritten in place; its capacity may
// exceed the payload length), payload length in/out, compression start. Result 0 is success.
using LegacyTransferRoutine = int (*)(SerialLink link, uint8_t* payload, uint32_t payloadCapacity,
                                      uint32_t& payloadLength, uint32_t compressFrom);

struct LegacyLoaderRow {
    const char* version;  // high and low 16 bits of the software id, e.g. "11.1"
    uint32_t softwareId;
    uint32_t hardwareType;
    uint32_t compressFrom;
    LegacyTransferRoutine transfer;
};

inline constexpr std::size_t LegacyRowCount = 7;
extern const std::array<LegacyLoaderRow, LegacyRowCount + 1> LegacyLoaderTable;

// Index of the first row matching the version text and hardware type, or of the terminating
// row. In patch mode every row's hardware type is taken over (so the first row with the version
// wins) and softwareId becomes the version id; both changes reach the caller.
std::size_t LookUpLoader(LoaderVersion version, uint8_t& hardwareType, uint32_t& softwareId,
                         int patchImage);

// Whether some legacy row has this software id and hardware type.
bool FindLegacyRow(uint32_t softwareId, uint8_t hardwareType);
