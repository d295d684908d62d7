// The time stamp that the 4.11 to 4.13 loaders take before the image.
#pragma once

#include <cstdint>

// The 5-byte BoxTimeStamp for a local date and time: the Modified Julian Date (low 16 bits,
// big-endian), then hour, minute and second as two BCD digits each.
void BuildBoxTimeStamp(int year, int month, int day, int hour, int minute, int second,
                       uint8_t out[5]);
