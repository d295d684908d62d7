// The download procedures: one per bootloader family, each named by rows of the BootloaderTable
// (frontend/tables.h) and called with the same ten arguments.
//
// A new family is its source file in protocols/ (the build takes every source there), its
// declaration and its name below, and its rows in frontend/tables.h. The build fails when a
// listed procedure serves no row or a row names a procedure that is not listed.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "serial/port.h"

// The common signature of every download procedure. Arguments, in order: link, image name,
// image length (N + 8, or the file size in raw mode), software id, quit request (always 0),
// compressed image (-2/-c), compress here (-c), baud rate (115200), patch image (-x or set by
// the session), the table row's parameter. Result 0 is success.
using DownloadProcedureFunction = int(SerialLink link, const char* imageName, uint32_t imageLength,
                                      uint32_t softwareId, int quitRequest, int compressedImage,
                                      int compressInput, uint32_t baudRate, int patchImage,
                                      int param);
// What a table row holds.
using DownloadProcedure = DownloadProcedureFunction*;

// Streaming download (12.4 to 12.6, 21.x to 24.x, 0.0); the row's parameter 1 raises the
// process priority while it runs.
[[nodiscard]] DownloadProcedureFunction StreamingDownload;
// Hyper-bootloader download (1.4 to 1.9): the hyper bootloader first, then the image.
[[nodiscard]] DownloadProcedureFunction DownloadLoader14;
[[nodiscard]] DownloadProcedureFunction DownloadLoader15;
[[nodiscard]] DownloadProcedureFunction DownloadLoader16;
[[nodiscard]] DownloadProcedureFunction DownloadLoader17;
// Menu-driven 2.x to 4.x loaders (and 20.5 to 21.0 on hardware type 0x12).
[[nodiscard]] DownloadProcedureFunction DownloadLoader20;
[[nodiscard]] DownloadProcedureFunction DownloadLoader42;
[[nodiscard]] DownloadProcedureFunction DownloadLoader46;
// 4.11 to 4.13 loaders: time stamp, announcement, image and byte sum.
[[nodiscard]] DownloadProcedureFunction DownloadLoader411;
// X-modem download with verdict lines (5.1, 5.3).
[[nodiscard]] DownloadProcedureFunction DownloadXmodem;
// Placeholder of the 22.0 row: says so and fails.
[[nodiscard]] DownloadProcedureFunction DownloadNotAvailable;

// Every download procedure with its name, for the production log, the line trace and the tools
// that show which procedure a row names. The dispatch tables check at compile time that each
// procedure they name is listed here and that each listed procedure serves a row.
struct NamedProcedure {
    DownloadProcedure procedure;
    const char* name;
};
inline constexpr auto DownloadProcedures = std::to_array<NamedProcedure>({
    {StreamingDownload, "StreamingDownload"},
    {DownloadLoader14, "DownloadLoader14"},
    {DownloadLoader15, "DownloadLoader15"},
    {DownloadLoader16, "DownloadLoader16"},
    {DownloadLoader17, "DownloadLoader17"},
    {DownloadLoader20, "DownloadLoader20"},
    {DownloadLoader42, "DownloadLoader42"},
    {DownloadLoader46, "DownloadLoader46"},
    {DownloadLoader411, "DownloadLoader411"},
    {DownloadXmodem, "DownloadXmodem"},
    {DownloadNotAvailable, "DownloadNotAvailable"},
});

// The name of a download procedure, or nullptr for a function that is none.
[[nodiscard]] constexpr const char* DownloadProcedureName(DownloadProcedure procedure) {
    for (const NamedProcedure& entry : DownloadProcedures) {
        if (entry.procedure == procedure) {
            return entry.name;
        }
    }
    return nullptr;
}
