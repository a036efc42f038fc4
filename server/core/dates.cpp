#include "server/core/dates.h"

#include <cstdio>

namespace pbs {
namespace {

constexpr int64_t kMicrosPerDay = 86400LL * 1000000;

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's method).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool Digits(std::string_view text, std::size_t at, std::size_t count, unsigned& out) {
  if (at + count > text.size()) return false;
  out = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(text[i] - '0');
  }
  return true;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

}  // namespace

std::optional<Date> ParseDate(std::string_view text) {
  unsigned y, m, d;
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  if (!Digits(text, 0, 4, y) || !Digits(text, 5, 2, m) || !Digits(text, 8, 2, d)) return std::nullopt;
  if (y < 1970 || m < 1 || m > 12 || d < 1) return std::nullopt;
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return std::nullopt;
  return Date{static_cast<int32_t>(DaysFromCivil(y, m, d))};
}

std::string FormatDate(Date date) {
  int64_t y;
  unsigned m, d;
  CivilFromDays(date.days, y, m, d);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  return buf;
}

int64_t ToMicros(std::chrono::system_clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
}

std::chrono::system_clock::time_point FromMicros(int64_t micros) {
  return std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::microseconds(micros)));
}

Date DayOf(std::chrono::system_clock::time_point time) {
  return Date{static_cast<int32_t>(FloorDiv(ToMicros(time), kMicrosPerDay))};
}

std::optional<int64_t> ParseSince(std::string_view text) {
  const std::optional<Date> day = ParseDate(text.substr(0, 10));
  if (!day) return std::nullopt;
  int64_t micros = day->days * kMicrosPerDay;
  if (text.size() == 10) return micros;
  unsigned hh, mm;
  if (text.size() != 16 || text[10] != 'T' || text[13] != ':' || !Digits(text, 11, 2, hh) ||
      !Digits(text, 14, 2, mm) || hh > 23 || mm > 59) {
    return std::nullopt;
  }
  return micros + (static_cast<int64_t>(hh) * 3600 + mm * 60) * 1000000;
}

std::string FormatMicros(int64_t micros) {
  const int64_t day = FloorDiv(micros, kMicrosPerDay);
  const int64_t rest = micros - day * kMicrosPerDay;
  const int64_t secs = rest / 1000000;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%sT%02lld:%02lld:%02lld.%06lldZ",
                FormatDate(Date{static_cast<int32_t>(day)}).c_str(), static_cast<long long>(secs / 3600),
                static_cast<long long>(secs / 60 % 60), static_cast<long long>(secs % 60),
                static_cast<long long>(rest % 1000000));
  return buf;
}

}  // namespace pbs
