#include "server/db/postgres_text.h"

#include <cstddef>
#include <cstdint>

namespace pbs::pg {
namespace {

// The length of the valid UTF-8 sequence at `at` (not NUL), or 0.
std::size_t Utf8Length(std::string_view s, std::size_t at) {
  const auto b = [&](std::size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t c = b(at);
  if (c == 0) return 0;
  if (c < 0x80) return 1;
  std::size_t n;
  uint32_t min;
  if ((c & 0xE0) == 0xC0) {
    n = 2;
    min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    n = 3;
    min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    n = 4;
    min = 0x10000;
  } else {
    return 0;
  }
  if (at + n > s.size()) return 0;
  uint32_t cp = c & (0x7F >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((b(at + i) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(at + i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string StoredText(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size();) {
    if (bytes[at] == '\\') {
      out += "\\\\";
      ++at;
      continue;
    }
    const std::size_t n = Utf8Length(bytes, at);
    if (n > 0) {
      out.append(bytes.substr(at, n));
      at += n;
      continue;
    }
    const auto c = static_cast<uint8_t>(bytes[at++]);
    out += "\\x";
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::string ReadText(std::string_view stored) {
  if (stored.find('\\') == std::string_view::npos) return std::string(stored);
  std::string out;
  out.reserve(stored.size());
  std::size_t at = 0;
  while (at < stored.size()) {
    if (stored[at] != '\\') {
      out += stored[at++];
      continue;
    }
    if (at + 1 < stored.size() && stored[at + 1] == '\\') {
      out += '\\';
      at += 2;
      continue;
    }
    if (at + 3 < stored.size() && stored[at + 1] == 'x' && HexValue(stored[at + 2]) >= 0 &&
        HexValue(stored[at + 3]) >= 0) {
      out += static_cast<char>(HexValue(stored[at + 2]) * 16 + HexValue(stored[at + 3]));
      at += 4;
      continue;
    }
    out.append(stored.substr(at));   // not ours: kept as it is
    break;
  }
  return out;
}

}  // namespace pbs::pg
