// Which of update's bootloaders would take an image: the dispatch-table rows for its hardware
// type, the row of the bootloader version it names, and the legacy loaders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "frontend/tables.h"

namespace padtool {

// The name of a download procedure of the BootloaderTable ("?" for an unknown one).
const char* ProcedureName(DownloadProcedure procedure);

// The versions of the BootloaderTable rows for this hardware type, grouped by procedure in
// table order: one entry per procedure, e.g. {"StreamingDownload", "12.4 12.5 ..."}.
struct ProcedureVersions {
    std::string procedure;
    std::string versions;
};
std::vector<ProcedureVersions> RowsForHardwareType(uint8_t hardwareType);

// The row that serves a box whose bootloader has exactly the image's software id as version
// (the box that passes update's id check without -x), or nullptr.
const BootloaderRow* RowForSoftwareId(uint8_t hardwareType, uint32_t softwareId);

// The legacy loader rows that take the image on the legacy path (same software id and hardware
// type), or nullptr.
const LegacyLoaderRow* LegacyRowFor(uint32_t softwareId, uint8_t hardwareType);

// "24.4 (0x00180004)"
std::string SoftwareIdText(uint32_t softwareId);

}  // namespace padtool
