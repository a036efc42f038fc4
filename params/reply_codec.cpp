#include "params/reply_codec.h"

#include <array>
#include <cstdint>

#include "params/store.h"

namespace pb {
namespace {

constexpr std::uint8_t kNotInAlphabet = 0xFF;

constexpr std::array<std::uint8_t, 256> MakeDecodeTable() {
  std::array<std::uint8_t, 256> table{};
  for (auto& v : table) v = kNotInAlphabet;
  const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(alphabet[i])] = i;
  return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = MakeDecodeTable();

}  // namespace

std::string Base64Decode(std::string_view encoded) {
  const auto* p = reinterpret_cast<const unsigned char*>(encoded.data());
  const auto* const end = p + encoded.size();

  std::string out;
  out.resize(encoded.size() / 4 * 3 + 2);
  char* o = out.data();

  // Whole groups first; a group holding a byte outside the alphabet (its
  // table entry has the high bit set) ends this loop and is finished below.
  while (end - p >= 4) {
    const std::uint32_t s1 = kDecode[p[0]], s2 = kDecode[p[1]], s3 = kDecode[p[2]],
                        s4 = kDecode[p[3]];
    if ((s1 | s2 | s3 | s4) & 0x80) break;
    const std::uint32_t v = (s1 << 18) | (s2 << 12) | (s3 << 6) | s4;
    *o++ = static_cast<char>(v >> 16);
    *o++ = static_cast<char>(v >> 8);
    *o++ = static_cast<char>(v);
    p += 4;
  }
  // The last, partial group: up to three characters before the stop.
  std::uint32_t s[3];
  int n = 0;
  while (n < 3 && p != end && kDecode[*p] != kNotInAlphabet) s[n++] = kDecode[*p++];
  if (n >= 2) *o++ = static_cast<char>((s[0] << 2) | (s[1] >> 4));
  if (n == 3) *o++ = static_cast<char>(((s[1] & 0x0F) << 4) | (s[2] >> 2));
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

void SplitPairs(std::string_view decoded, std::string_view delimiters) {
  const std::size_t nul = decoded.find('\0');
  if (nul != std::string_view::npos) decoded = decoded.substr(0, nul);

  std::array<bool, 256> isDelimiter{};
  for (unsigned char c : delimiters) isDelimiter[c] = true;

  const char* p = decoded.data();
  const char* const end = p + decoded.size();
  auto nextToken = [&]() -> std::string_view {
    while (p != end && isDelimiter[static_cast<unsigned char>(*p)]) ++p;
    const char* begin = p;
    while (p != end && !isDelimiter[static_cast<unsigned char>(*p)]) ++p;
    return std::string_view(begin, static_cast<std::size_t>(p - begin));
  };

  for (;;) {
    const std::string_view name = nextToken();
    if (name.empty()) return;
    const std::string_view value = nextToken();
    if (value.empty()) return;
    SetParameter(std::string(name), std::string(value));
  }
}

void DecodeReply(std::string_view reply) {
  SplitPairs(Base64Decode(reply), "=&");
}

}  // namespace pb
