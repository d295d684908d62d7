// The local time of day with its offset from UTC, in the form of ISO 8601
// ("2026-12-09T01:02:03+01:00"), for the records of the production log.
#pragma once

#include <array>

// Room for "YYYY-MM-DDThh:mm:ss+hh:mm" and its terminating zero, with room to spare.
using IsoTimeText = std::array<char, 40>;

// The broken-down local time and its offset east of UTC in minutes.
struct LocalTimeFields {
    int year = 1970;
    int month = 1;  // 1 to 12
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int offsetMinutes = 0;  // +60 for UTC+01:00, -330 for UTC-05:30
};

// The fields in the ISO 8601 form, the offset as +hh:mm or -hh:mm.
[[nodiscard]] IsoTimeText FormatIsoLocalTime(const LocalTimeFields& fields);

// The platform's local time now (localtime_r and strftime's %z on POSIX, GetLocalTime and the
// time zone's bias on Windows).
[[nodiscard]] LocalTimeFields LocalTimeNow();
