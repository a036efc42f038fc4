// Generated texts shaped like numbers, for differential tests and benchmarks.
#pragma once

#include <random>
#include <string>

namespace pbtest {

// White space, a sign, digits around an optional point, an optional
// exponent, sometimes a malformed piece or trailing junk.
inline std::string RandomNumberText(std::mt19937_64& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const char* const kJunk[] = {"", "", "", " ", "x", ",5", "e", "e+", "..", "-", "\t1"};
  std::string s;
  for (int i = pick(3); i > 0; --i) s += " \t\n\r\v\f"[pick(6)];
  if (pick(3) == 0) s += "+-"[pick(2)];
  const int intDigits = pick(5) == 0 ? pick(40) : pick(8);
  for (int i = 0; i < intDigits; ++i) s += static_cast<char>('0' + pick(10));
  if (pick(2)) {
    s += '.';
    const int fracDigits = pick(5) == 0 ? pick(40) : pick(10);
    for (int i = 0; i < fracDigits; ++i) s += static_cast<char>('0' + pick(10));
  }
  if (pick(3) == 0) {
    s += "eE"[pick(2)];
    if (pick(2)) s += "+-"[pick(2)];
    const int expDigits = pick(8) == 0 ? 0 : 1 + pick(3);
    for (int i = 0; i < expDigits; ++i) s += static_cast<char>('0' + pick(10));
  }
  s += kJunk[pick(static_cast<int>(sizeof kJunk / sizeof kJunk[0]))];
  return s;
}

}  // namespace pbtest
