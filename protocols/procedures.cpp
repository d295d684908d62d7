// The download procedures by name, and the placeholder procedure of the 22.0 row.
#include "protocols/procedures.h"

#include <cstdio>

constinit const std::array<NamedProcedure, DownloadProcedureCount> DownloadProcedures{{
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
}};

const char* DownloadProcedureName(DownloadProcedure procedure) {
    for (const NamedProcedure& entry : DownloadProcedures) {
        if (entry.procedure == procedure) {
            return entry.name;
        }
    }
    return nullptr;
}

int DownloadNotAvailable(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                         int) {
    std::printf("Function not yet available\n");
    return 1;
}
