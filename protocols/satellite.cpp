// Placeholder until this part is built.
#include <cstdio>
#include "protocols/procedures.h"

const char* SatelliteMenuAnswer(const char*) {
    return nullptr;
}
int RequestSatelliteUpdate(SerialLink, const char*) {
    std::printf("Function not yet available\n");
    return 1;
}
