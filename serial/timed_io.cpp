// Placeholder until this part is built.
#include "serial/serial_link.h"

std::array<char, WaitBufferSize> WaitBuffer{};
int SendTimed(SerialLink, const uint8_t*, uint32_t, uint32_t) {
    return 0;
}
int SendTimed(SerialLink, const char*, uint32_t) {
    return 0;
}
int WaitFor(SerialLink, const char*, uint32_t) {
    return 0;
}
int ReadByteTimed(SerialLink, uint8_t&, uint32_t) {
    return 0;
}
int ReadByteOrExpire(SerialLink, uint8_t&, uint32_t) {
    return 0;
}
