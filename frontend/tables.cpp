// Placeholder until this part is built.
#include "frontend/tables.h"

const std::array<BootloaderRow, BootloaderRowCount + 1> BootloaderTable{};
const std::array<LegacyLoaderRow, LegacyRowCount + 1> LegacyLoaderTable{};
std::size_t LookUpLoader(LoaderVersion, uint8_t&, uint32_t&, int) {
    return BootloaderRowCount;
}
bool FindLegacyRow(uint32_t, uint8_t) {
    return false;
}
