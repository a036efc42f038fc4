#include "params/parse_double.h"

#include <charconv>
#include <system_error>

namespace pb {
namespace {

bool IsSpace(unsigned char c) { return c == 0x20 || (c >= 0x09 && c <= 0x0D); }
bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }

bool HasExponent(const char* begin, const char* end) {
  for (; begin != end; ++begin) {
    if (*begin == 'e' || *begin == 'E') return true;
  }
  return false;
}
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
  // std::from_chars reads the rest of the grammar, but it also takes "inf"
  // and "nan", and no '+': the sign is ours, and only a digit or a point
  // may follow it.
  if (p == end || !(IsDigit(static_cast<unsigned char>(*p)) || *p == '.')) return defaultValue;

  double value = 0.0;
  const std::from_chars_result r = std::from_chars(p, end, value, std::chars_format::general);
  // Out of range (result_out_of_range) covers both overflow and digits that
  // are not all zero rounding to zero; subnormals are in range.
  if (r.ec != std::errc()) return defaultValue;
  // from_chars reads "1e" and "1e+x" as 1, stopping at the 'e'; the stream
  // read fails there. An 'e' after a complete exponent ("1e5e") is just
  // where reading stops.
  if (r.ptr != end && (*r.ptr == 'e' || *r.ptr == 'E') && !HasExponent(p, r.ptr)) {
    return defaultValue;
  }
  return negative ? -value : value;
}

}  // namespace pb
