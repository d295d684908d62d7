// The satellite update request: the bootloader's menu entry that makes the box fetch new
// software from a satellite data service by itself.
#pragma once

#include "serial/port.h"

// Menu answer for a satellite method name ("5", "6", "8"), or nullptr when the name has none.
[[nodiscard]] const char* SatelliteMenuAnswer(const char* methodName);
// 0 when the answer was sent (port open), 1 on failure (port closed).
[[nodiscard]] int RequestSatelliteUpdate(SerialLink link, const char* answer);
