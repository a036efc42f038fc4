#include "params/pins.h"

#include <string>

#include "params/reply_codec.h"

namespace pb {
namespace {

constexpr std::string_view kPrefix = "sha256//";
// 32 bytes in padded Base64: 43 characters and one '='.
constexpr std::size_t kEncodedLength = 44;

bool IsAlphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
         c == '/';
}

bool ParseOne(std::string_view entry, KeyDigest& digest) {
  if (entry.substr(0, kPrefix.size()) != kPrefix) return false;
  const std::string_view encoded = entry.substr(kPrefix.size());
  if (encoded.size() != kEncodedLength || encoded.back() != '=') return false;
  for (std::size_t i = 0; i + 1 < kEncodedLength; ++i) {
    if (!IsAlphabet(encoded[i])) return false;
  }
  // Base64Decode drops spare low bits unread; a canonical pin has none, so
  // two texts can never name one digest.
  const std::string bytes = Base64Decode(encoded);
  if (bytes.size() != digest.size()) return false;
  static constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (kAlphabet.find(encoded[kEncodedLength - 2]) % 4 != 0) return false;
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<unsigned char>(bytes[i]);
  return true;
}

}  // namespace

bool PinSet::Matches(const KeyDigest& digest) const {
  for (const KeyDigest& pin : digests) {
    if (pin == digest) return true;
  }
  return false;
}

bool ParsePins(std::string_view text, PinSet& pins) {
  pins.digests.clear();
  if (text.empty()) return true;
  for (;;) {
    const std::size_t end = text.find(';');
    KeyDigest digest;
    if (!ParseOne(text.substr(0, end), digest)) {
      pins.digests.clear();
      return false;
    }
    pins.digests.push_back(digest);
    if (end == std::string_view::npos) return true;
    text.remove_prefix(end + 1);
  }
}

}  // namespace pb
