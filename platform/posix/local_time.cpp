// The local time on POSIX: localtime_r, and the offset as strftime's %z gives it (+hhmm).
#include <ctime>

#include "platform/local_time.h"

LocalTimeFields LocalTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    LocalTimeFields fields;
    if (localtime_r(&now, &local) == nullptr) {
        return fields;
    }
    fields.year = local.tm_year + 1900;
    fields.month = local.tm_mon + 1;
    fields.day = local.tm_mday;
    fields.hour = local.tm_hour;
    fields.minute = local.tm_min;
    fields.second = local.tm_sec;
    // %z: "+hhmm" or "-hhmm"; empty when the zone is not known (the offset stays 0).
    char zone[16] = {};
    if (std::strftime(zone, sizeof zone, "%z", &local) == 5 && (zone[0] == '+' || zone[0] == '-')) {
        const int hours = (zone[1] - '0') * 10 + (zone[2] - '0');
        const int minutes = (zone[3] - '0') * 10 + (zone[4] - '0');
        const int offset = hours * 60 + minutes;
        fields.offsetMinutes = zone[0] == '-' ? -offset : offset;
    }
    return fields;
}
