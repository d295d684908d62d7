// Placeholder until this part is built.
#include "protocols/procedures.h"

int LegacyTransfer10(SerialLink, uint8_t*, uint32_t, uint32_t&, uint32_t) {
    return 1;
}
int LegacyTransfer11(SerialLink, uint8_t*, uint32_t, uint32_t&, uint32_t) {
    return 1;
}
int LegacyTransfer12(SerialLink, uint8_t*, uint32_t, uint32_t&, uint32_t) {
    return 1;
}
