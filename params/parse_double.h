// Reads one number from the start of a text, as formatted stream input reads
// a double in the classic "C" locale, without the C runtime or any locale.
//
// Accepted, in order:
//   white space   any run of 0x09..0x0D and 0x20 (no other bytes);
//   sign          one optional '+' or '-';
//   digits        '0'..'9', any number, then optionally '.' and more digits;
//                 at least one digit in all (".5" and "5." are numbers,
//                 "." is not); no digit grouping;
//   exponent      optionally 'e' or 'E', one optional sign, and at least one
//                 digit: "1e" and "1e+" fail whole, they do not read as 1.
// Reading stops at the first byte that fits none of these; what follows is
// ignored ("1.5abc" is 1.5, "1,5" is 1, "0x10" is 0). "nan" and "inf" fail.
//
// Result: the nearest double, a leading '-' on zero giving -0.0, subnormals
// included. Fails, returning defaultValue, when nothing is accepted, when the
// magnitude exceeds the largest finite double, or when digits that are not
// all zero round to zero ("1e-400" fails, "0e-400" is 0).
//
// The result does not depend on the calling thread's floating-point state:
// the x87 precision (53 or 64 bits) and the rounding mode of the x87 and SSE
// units change nothing, and both control words are left as found.
#pragma once

#include <string_view>

namespace pb {

double ParseDouble(std::string_view text, double defaultValue);

}  // namespace pb
