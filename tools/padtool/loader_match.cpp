// Looks an image up in update's own dispatch tables, so that padtool's answer is the one the
// program would act on.
#include "tools/padtool/loader_match.h"

#include <array>
#include <cstdio>

#include "protocols/procedures.h"

namespace padtool {

const char* ProcedureName(DownloadProcedure procedure) {
    const char* name = DownloadProcedureName(procedure);
    return name != nullptr ? name : "?";
}

std::vector<ProcedureVersions> RowsForHardwareType(uint8_t hardwareType) {
    std::vector<ProcedureVersions> groups;
    for (const BootloaderRow& row : BootloaderTable) {
        if (row.procedure == nullptr) {
            break;
        }
        if ((row.hardwareType & 0xFF) != hardwareType) {
            continue;
        }
        const std::string name = ProcedureName(row.procedure);
        ProcedureVersions* group = nullptr;
        for (ProcedureVersions& g : groups) {
            if (g.procedure == name) {
                group = &g;
            }
        }
        if (group == nullptr) {
            groups.push_back({name, ""});
            group = &groups.back();
        }
        if (!group->versions.empty()) {
            group->versions += ' ';
        }
        group->versions += row.version;
    }
    return groups;
}

const BootloaderRow* RowForSoftwareId(uint8_t hardwareType, uint32_t softwareId) {
    const LoaderVersion version{static_cast<int>(softwareId >> 16),
                                static_cast<int>(softwareId & 0xFFFF)};
    uint8_t type = hardwareType;
    uint32_t id = softwareId;
    const std::size_t index = LookUpLoader(version, type, id, 0);
    const BootloaderRow& row = BootloaderTable[index];
    return row.procedure != nullptr ? &row : nullptr;
}

const LegacyLoaderRow* LegacyRowFor(uint32_t softwareId, uint8_t hardwareType) {
    if (!FindLegacyRow(softwareId, hardwareType)) {
        return nullptr;
    }
    for (const LegacyLoaderRow& row : LegacyLoaderTable) {
        if (row.transfer == nullptr) {
            break;
        }
        if (row.softwareId == softwareId && (row.hardwareType & 0xFF) == hardwareType) {
            return &row;
        }
    }
    return nullptr;
}

std::string SoftwareIdText(uint32_t softwareId) {
    std::array<char, 40> text{};
    std::snprintf(text.data(), text.size(), "%u.%u (0x%08X)", softwareId >> 16, softwareId & 0xFFFF,
                  softwareId);
    return text.data();
}

}  // namespace padtool
