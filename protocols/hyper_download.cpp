// Placeholder until this part is built.
#include <cstdio>
#include "protocols/procedures.h"

int DownloadLoader14(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
int DownloadLoader15(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
int DownloadLoader16(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
int DownloadLoader17(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                     int) {
    std::printf("Function not yet available\n");
    return 1;
}
int SendViaHyperBootloader(SerialLink, const char*, uint8_t) {
    return 1;
}
