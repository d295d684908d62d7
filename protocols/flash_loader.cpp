// Placeholder until this part is built.
#include <cstdio>
#include "protocols/procedures.h"

int DownloadLoader20(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
int DownloadLoader42(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
int DownloadLoader46(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
