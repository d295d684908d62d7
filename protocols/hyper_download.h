// The second stage of the 1.4 to 1.9 download: the image goes to the running hyper bootloader.
#pragma once

#include <cstdint>

#include "serial/port.h"

// Wakes the running hyper bootloader and sends the image to it.
// 0 on success (port open), 1 on failure (port closed).
[[nodiscard]] int SendViaHyperBootloader(SerialLink link, const char* imageFileName,
                                         uint8_t hyperType);
