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

  // Find where the data stops first, so that the output is sized once.
  const auto* stop = p;
  while (stop != end && kDecode[*stop] != kNotInAlphabet) ++stop;
  const std::size_t n = static_cast<std::size_t>(stop - p);

  std::string out;
  out.resize(n / 4 * 3 + (n % 4 == 3 ? 2 : n % 4 == 2 ? 1 : 0));
  char* o = out.data();

  for (; stop - p >= 4; p += 4) {
    const std::uint32_t v = (std::uint32_t{kDecode[p[0]]} << 18) |
                            (std::uint32_t{kDecode[p[1]]} << 12) |
                            (std::uint32_t{kDecode[p[2]]} << 6) | kDecode[p[3]];
    *o++ = static_cast<char>(v >> 16);
    *o++ = static_cast<char>(v >> 8);
    *o++ = static_cast<char>(v);
  }
  const std::size_t rest = static_cast<std::size_t>(stop - p);
  if (rest >= 2) {
    const std::uint32_t s1 = kDecode[p[0]], s2 = kDecode[p[1]];
    *o++ = static_cast<char>((s1 << 2) | (s2 >> 4));
    if (rest == 3) {
      const std::uint32_t s3 = kDecode[p[2]];
      *o++ = static_cast<char>(((s2 & 0x0F) << 4) | (s3 >> 2));
    }
  }
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
