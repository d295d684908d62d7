// The local time on Windows: GetLocalTime, and the offset from the time zone's bias (minutes
// west of UTC, plus the daylight or standard bias that is in force).
#include <windows.h>

#include "platform/local_time.h"

LocalTimeFields LocalTimeNow() {
    SYSTEMTIME local{};
    GetLocalTime(&local);
    TIME_ZONE_INFORMATION zone{};
    const DWORD mode = GetTimeZoneInformation(&zone);
    LONG bias = zone.Bias;
    if (mode == TIME_ZONE_ID_DAYLIGHT) {
        bias += zone.DaylightBias;
    } else if (mode == TIME_ZONE_ID_STANDARD) {
        bias += zone.StandardBias;
    } else if (mode == TIME_ZONE_ID_INVALID) {
        bias = 0;
    }
    LocalTimeFields fields;
    fields.year = local.wYear;
    fields.month = local.wMonth;
    fields.day = local.wDay;
    fields.hour = local.wHour;
    fields.minute = local.wMinute;
    fields.second = local.wSecond;
    fields.offsetMinutes = static_cast<int>(-bias);
    return fields;
}
