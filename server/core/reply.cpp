#include "server/core/reply.h"

#include <charconv>
#include <cmath>

namespace pbs {

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                       (uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8) |
                       static_cast<unsigned char>(bytes[i + 2]);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < bytes.size()) {
    const bool two = i + 1 < bytes.size();
    const uint32_t v = (uint32_t{static_cast<unsigned char>(bytes[i])} << 16) |
                       (two ? uint32_t{static_cast<unsigned char>(bytes[i + 1])} << 8 : 0);
    out += kAlphabet[v >> 18];
    out += kAlphabet[(v >> 12) & 63];
    out += two ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string EncodeReply(const Pairs& pairs) {
  std::string inner;
  for (const Pair& p : pairs) {
    if (!inner.empty()) inner += '&';
    inner += p.name;
    inner += '=';
    inner += p.value;
  }
  return Base64Encode(inner);
}

Pairs RefusalPairs(int status, const std::string& text) {
  return {{"error", std::to_string(status)}, {"errorD", text}};
}

std::string FormatNumber(double value) {
  if (!std::isfinite(value)) return {};
  char buf[64];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

}  // namespace pbs
