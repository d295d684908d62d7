// The lookup in the BootloaderTable, and the compile-time checks of its rows.
#include "frontend/tables.h"

#include <cstdio>
#include <string_view>

#include "protocols/procedures.h"

namespace {

// No named procedure is left without a row.
constexpr bool EveryNamedProcedureServesARow() {
    bootloader_rows::RowWriter writer(nullptr);
    bootloader_rows::AddRows(writer);
    return writer.ServesEveryProcedure();
}

// The first row with a version and hardware type wins, so a second one could never be chosen.
constexpr bool NoRowIsHiddenByAnEarlierOne() {
    for (std::size_t i = 0; i < BootloaderRowCount; ++i) {
        for (std::size_t j = 0; j < i; ++j) {
            // The cheap comparison first keeps the check within the compilers' step limits.
            if ((BootloaderTable[i].hardwareType & 0xFF) ==
                    (BootloaderTable[j].hardwareType & 0xFF) &&
                std::string_view(BootloaderTable[i].version) == BootloaderTable[j].version) {
                return false;
            }
        }
    }
    return true;
}

static_assert(EveryNamedProcedureServesARow(), "a DownloadProcedures entry serves no row");
static_assert(NoRowIsHiddenByAnEarlierOne(), "two BootloaderTable rows share version and type");

}  // namespace

std::size_t LookUpLoader(LoaderVersion version, uint8_t& hardwareType, uint32_t& softwareId,
                         int patchImage) {
    char text[32];
    std::snprintf(text, sizeof text, "%i.%i", version.major, version.minor);
    std::size_t index = 0;
    for (; BootloaderTable[index].procedure != nullptr; ++index) {
        const BootloaderRow& row = BootloaderTable[index];
        if (patchImage == 1) {
            // The image is to be matched to the box: take over the row's hardware type and
            // the box's own version as software id.
            hardwareType = static_cast<uint8_t>(row.hardwareType & 0xFF);
            softwareId = VersionId(version);
        }
        if (std::string_view(row.version) == text &&
            static_cast<uint8_t>(row.hardwareType & 0xFF) == hardwareType) {
            return index;
        }
    }
    return index;
}
