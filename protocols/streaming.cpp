// Placeholder until this part is built.
#include <cstdio>
#include "protocols/procedures.h"

int StreamingDownload(SerialLink, const char*, uint32_t, uint32_t, int, int, int, uint32_t, int,
                      int) {
    std::printf("Function not yet available\n");
    return 1;
}
int XmodemSendFile(SerialLink, const char*) {
    return 1;
}
int XmodemSendBuffer(SerialLink, uint32_t) {
    return 1;
}
