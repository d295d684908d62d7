// The dispatch tables: which download procedure serves which bootloader version and hardware
// type. The LegacyLoaderTable of the legacy loaders lives with the legacy path
// (protocols/legacy_path.h) and is included here for the callers that look at both.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "frontend/settings.h"
#include "protocols/legacy_path.h"
#include "protocols/procedures.h"

struct BootloaderRow {
    const char* version;    // "major.minor" in decimal, e.g. "4.10"
    uint32_t hardwareType;  // only the low 8 bits are compared
    int param;              // 1 on the 12.4 to 12.6 rows (raise the process priority)
    DownloadProcedure procedure;
};

inline constexpr std::size_t BootloaderRowCount = 197;
// 197 rows and one terminating row without a procedure.
extern const std::array<BootloaderRow, BootloaderRowCount + 1> BootloaderTable;

// Index of the first row matching the version text and hardware type, or of the terminating
// row. In patch mode every row's hardware type is taken over (so the first row with the version
// wins) and softwareId becomes the version id; both changes reach the caller.
[[nodiscard]] std::size_t LookUpLoader(LoaderVersion version, uint8_t& hardwareType,
                                       uint32_t& softwareId, int patchImage);
