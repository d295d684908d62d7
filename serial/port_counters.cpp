// The count of the bytes the port has sent; one process drives one port from one thread.
#include "serial/port_counters.h"

namespace {
uint64_t bytesSent = 0;
}  // namespace

void CountBytesSent(uint32_t bytes) {
    bytesSent += bytes;
}

uint64_t BytesSent() {
    return bytesSent;
}

void ResetBytesSent() {
    bytesSent = 0;
}
