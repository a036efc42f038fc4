// Calendar days and times in UTC, as the licenses and the fetch log write
// them. Pure arithmetic (proleptic Gregorian calendar), no time zone data.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/model.h"

namespace pbs {

// "YYYY-MM-DD" with a real day of a year 1970..9999; nothing else.
std::optional<Date> ParseDate(std::string_view text);
std::string FormatDate(Date date);

// The UTC day that holds `time` (times before 1970 count back correctly).
Date DayOf(std::chrono::system_clock::time_point time);

// Microseconds since 1970-01-01T00:00:00Z.
int64_t ToMicros(std::chrono::system_clock::time_point time);
std::chrono::system_clock::time_point FromMicros(int64_t micros);

// "YYYY-MM-DD" or "YYYY-MM-DDTHH:MM" (UTC) as microseconds since 1970.
std::optional<int64_t> ParseSince(std::string_view text);

// "YYYY-MM-DDTHH:MM:SS.ffffffZ".
std::string FormatMicros(int64_t micros);

}  // namespace pbs
