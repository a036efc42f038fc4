// Base64 encoding (standard alphabet, no padding) for building replies in
// tests and benchmarks; the module itself only decodes.
#pragma once

#include <string>

namespace pbtest {

inline std::string Base64Encode(const std::string& text) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  unsigned bits = 0, count = 0;
  for (unsigned char c : text) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) out += kAlphabet[(bits >> (count -= 6)) & 63];
  }
  if (count) out += kAlphabet[(bits << (6 - count)) & 63];
  return out;
}

}  // namespace pbtest
