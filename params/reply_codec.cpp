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

// The length of the run of alphabet characters that `encoded` begins with:
// all that is decoded.
std::size_t AlphabetRun(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i != n && kDecode[p[i]] != kNotInAlphabet) ++i;
  return i;
}

// Decodes `n` alphabet characters at `in` to `out` and returns the number of
// bytes written. `out` may be `in`: each group of four is read whole before
// its three bytes are written, so the writes never pass the reads.
std::size_t DecodeRun(const unsigned char* in, std::size_t n, char* out) {
  char* o = out;
  const unsigned char* const end = in + n;
  while (end - in >= 4) {
    const std::uint32_t v = (std::uint32_t{kDecode[in[0]]} << 18) |
                            (std::uint32_t{kDecode[in[1]]} << 12) |
                            (std::uint32_t{kDecode[in[2]]} << 6) | kDecode[in[3]];
    in += 4;
    *o++ = static_cast<char>(v >> 16);
    *o++ = static_cast<char>(v >> 8);
    *o++ = static_cast<char>(v);
  }
  // The last, partial group: two characters give one byte, three give two,
  // one gives nothing; spare low bits are dropped.
  const std::size_t rest = static_cast<std::size_t>(end - in);
  if (rest >= 2) *o++ = static_cast<char>((kDecode[in[0]] << 2) | (kDecode[in[1]] >> 4));
  if (rest == 3) *o++ = static_cast<char>(((kDecode[in[1]] & 0x0F) << 4) | (kDecode[in[2]] >> 2));
  return static_cast<std::size_t>(o - out);
}

}  // namespace

std::string Base64Decode(std::string_view encoded) {
  const auto* p = reinterpret_cast<const unsigned char*>(encoded.data());
  const std::size_t run = AlphabetRun(p, encoded.size());
  std::string out(run / 4 * 3 + 2, '\0');
  out.resize(DecodeRun(p, run, out.data()));
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

void DecodeReply(std::string reply) {
  auto* p = reinterpret_cast<unsigned char*>(reply.data());
  const std::size_t run = AlphabetRun(p, reply.size());
  reply.resize(DecodeRun(p, run, reply.data()));
  SplitPairs(reply, "=&");
}

}  // namespace pb
