#include "params/parse_double.h"

#include <charconv>
#include <system_error>

namespace pb {
namespace {

bool IsSpace(unsigned char c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

double ParseDouble(std::string_view text, double defaultValue) {
  const char* p = text.data();
  const char* const end = p + text.size();

  while (p != end && IsSpace(static_cast<unsigned char>(*p))) ++p;
  if (p == end) return defaultValue;

  bool negative = false;
  if (*p == '+' || *p == '-') {
    negative = *p == '-';
    ++p;
  }
  // std::from_chars takes no '+' and we take the sign ourselves, so it only
  // ever sees an unsigned number.
  const char* const number = p;

  bool anyDigit = false;
  bool nonZeroDigit = false;
  while (p != end && IsDigit(static_cast<unsigned char>(*p))) {
    anyDigit = true;
    nonZeroDigit |= *p != '0';
    ++p;
  }
  if (p != end && *p == '.') {
    ++p;
    while (p != end && IsDigit(static_cast<unsigned char>(*p))) {
      anyDigit = true;
      nonZeroDigit |= *p != '0';
      ++p;
    }
  }
  if (!anyDigit) return defaultValue;

  if (p != end && (*p == 'e' || *p == 'E')) {
    const char* q = p + 1;
    if (q != end && (*q == '+' || *q == '-')) ++q;
    if (q == end || !IsDigit(static_cast<unsigned char>(*q))) return defaultValue;
    while (q != end && IsDigit(static_cast<unsigned char>(*q))) ++q;
    p = q;
  }

  double value = 0.0;
  const std::from_chars_result r =
      std::from_chars(number, p, value, std::chars_format::general);
  // from_chars reads exactly the grammar scanned above; anything else would
  // mean the two disagree, and the read is then refused rather than guessed.
  if (r.ec != std::errc() || r.ptr != p) return defaultValue;
  if (value == 0.0 && nonZeroDigit) return defaultValue;
  return negative ? -value : value;
}

}  // namespace pb
