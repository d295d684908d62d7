// The placeholder procedure of the 22.0 row.
#include "protocols/procedures.h"

#include <cstdio>

int DownloadNotAvailable(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                         int) {
    std::printf("Function not yet available\n");
    return 1;
}
