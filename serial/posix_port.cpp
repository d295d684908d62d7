// Placeholder until this part is built.
#include "serial/serial_link.h"

SerialLink OpenSerialLink(int, uint32_t, int, int, int) {
    return InvalidLink;
}
int ChangeBaudRate(SerialLink, uint32_t) {
    return 0;
}
void CloseSerialLink(SerialLink) {}
const char* PortDeviceName(int) {
    return nullptr;
}
int PortRead(SerialLink, uint8_t*, uint32_t, uint32_t& got) {
    got = 0;
    return 0;
}
int PortWrite(SerialLink, const uint8_t*, uint32_t, uint32_t& written) {
    written = 0;
    return 0;
}
int PortWaitReadable(SerialLink, uint32_t) {
    return 0;
}
void PortClearErrors(SerialLink) {}
void PortSetWriteLimits(SerialLink, uint32_t, uint32_t) {}
int PortFlush(SerialLink) {
    return 0;
}
