#include "params/parse_double.h"

#include <fast_float/fast_float.h>

#include <limits>
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

// Whether the digits before any exponent are all zero.
bool MantissaIsZero(const char* begin, const char* end) {
  for (; begin != end && *begin != 'e' && *begin != 'E'; ++begin) {
    if (*begin >= '1' && *begin <= '9') return false;
  }
  return true;
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
  // fast_float reads the rest of the grammar, but it also takes "inf" and
  // "nan", and no '+': the sign is ours, and only a digit or a point may
  // follow it.
  if (p == end || !(IsDigit(static_cast<unsigned char>(*p)) || *p == '.')) return defaultValue;

  // fast_float, compiled into this module, rather than the C++ runtime's
  // prebuilt std::from_chars: that one multiplies in whatever unit and
  // precision its own build chose (the x87 in 32-bit mingw, rounding twice
  // when another DLL has set 64-bit precision) and assumes round-to-nearest.
  // fast_float works in integers except for Clinger's exact fast path, which
  // it takes only where the thread rounds to nearest (or the product is
  // exact), and this module's floating point is SSE2 throughout: the result
  // is the nearest double whatever the x87 and SSE control words hold, and
  // neither is touched.
  double value = 0.0;
  const fast_float::from_chars_result r =
      fast_float::from_chars(p, end, value, fast_float::chars_format::general);
  if (r.ec != std::errc()) return defaultValue;
  // fast_float gives infinity for an overflow and zero for an underflow:
  // both fail, except zero written as zero. Subnormals are in range.
  if (value == std::numeric_limits<double>::infinity()) return defaultValue;
  if (value == 0.0 && !MantissaIsZero(p, r.ptr)) return defaultValue;
  // fast_float reads "1e" and "1e+x" as 1, stopping at the 'e'; the stream
  // read fails there. An 'e' after a complete exponent ("1e5e") is just
  // where reading stops.
  if (r.ptr != end && (*r.ptr == 'e' || *r.ptr == 'E') && !HasExponent(p, r.ptr)) {
    return defaultValue;
  }
  return negative ? -value : value;
}

}  // namespace pb
