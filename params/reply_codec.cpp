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

// The length of the run of alphabet characters that `p` begins with: all
// that is decoded.
std::size_t AlphabetRun(const unsigned char* p, std::size_t n) {
  std::size_t i = 0;
  while (i != n && kDecode[p[i]] != kNotInAlphabet) ++i;
  return i;
}

// Decodes the run of alphabet characters that the `n` bytes at `in` begin
// with, up to the first byte outside the alphabet, to `out`, and returns the
// number of bytes written. `out` may be `in`: each group of four is read
// whole before its three bytes are written, so the writes never pass the
// reads.
std::size_t DecodeRun(const unsigned char* in, std::size_t n, char* out) {
  char* o = out;
  const unsigned char* const end = in + n;
  // Whole groups first; a group holding a byte outside the alphabet (its
  // table entry has the high bit set) ends this loop and is finished below.
  while (end - in >= 4) {
    const std::uint32_t s1 = kDecode[in[0]], s2 = kDecode[in[1]], s3 = kDecode[in[2]],
                        s4 = kDecode[in[3]];
    if ((s1 | s2 | s3 | s4) & 0x80) break;
    const std::uint32_t v = (s1 << 18) | (s2 << 12) | (s3 << 6) | s4;
    in += 4;
    *o++ = static_cast<char>(v >> 16);
    *o++ = static_cast<char>(v >> 8);
    *o++ = static_cast<char>(v);
  }
  // The last, partial group: up to three characters before the stop. Two
  // give one byte, three give two, one gives nothing; spare low bits are
  // dropped.
  std::uint32_t s[3];
  int k = 0;
  while (k < 3 && in != end && kDecode[*in] != kNotInAlphabet) s[k++] = kDecode[*in++];
  if (k >= 2) *o++ = static_cast<char>((s[0] << 2) | (s[1] >> 4));
  if (k == 3) *o++ = static_cast<char>(((s[1] & 0x0F) << 4) | (s[2] >> 2));
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

namespace {

// The pairs of `decoded` (up to its first NUL), in order, handed to
// store(name, value).
template <typename Store>
void ForEachPair(std::string_view decoded, std::string_view delimiters, Store store) {
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
    store(name, value);
  }
}

// Decodes the reply's Base64 in its own buffer (decoding only shrinks).
void DecodeInPlace(std::string& reply) {
  auto* p = reinterpret_cast<unsigned char*>(reply.data());
  reply.resize(DecodeRun(p, reply.size(), reply.data()));
}

}  // namespace

void SplitPairs(std::string_view decoded, std::string_view delimiters) {
  // Readers see the store before the reply or with all of its pairs.
  WriteBatch batch;
  ForEachPair(decoded, delimiters, SetParameter);
}

void DecodeReply(std::string reply) {
  DecodeInPlace(reply);
  SplitPairs(reply, "=&");
}

void DecodeReplyInto(std::string reply, ParameterMap& entries) {
  DecodeInPlace(reply);
  ForEachPair(reply, "=&", [&entries](std::string_view name, std::string_view value) {
    const auto it = entries.find(name);
    if (it != entries.end()) {
      it->second.assign(value);
    } else {
      entries.emplace(name, value);
    }
  });
}

}  // namespace pb
