// The portable half of the local time: the ISO 8601 form.
#include "platform/local_time.h"

#include <cstdio>
#include <cstdlib>

IsoTimeText FormatIsoLocalTime(const LocalTimeFields& fields) {
    IsoTimeText text{};
    const int offset = std::abs(fields.offsetMinutes);
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", fields.year,
                  fields.month, fields.day, fields.hour, fields.minute, fields.second,
                  fields.offsetMinutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}
