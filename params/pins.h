// The server's public-key pins, in curl's --pinnedpubkey form:
// "sha256//<Base64 of 32 bytes>" entries separated by ';'. Each digest is
// the SHA-256 of a certificate's DER SubjectPublicKeyInfo.
#pragma once

#include <array>
#include <string_view>
#include <vector>

namespace pb {

using KeyDigest = std::array<unsigned char, 32>;

struct PinSet {
  std::vector<KeyDigest> digests;  // empty: nothing is pinned
  // True when `digest` is one of the pinned ones.
  bool Matches(const KeyDigest& digest) const;
};

// Decodes `text` into `pins`. Empty text gives no pins. Fails (false, `pins`
// left empty) unless every ';'-separated entry is "sha256//" and the padded
// Base64 of exactly 32 bytes; an empty entry fails too.
bool ParsePins(std::string_view text, PinSet& pins);

}  // namespace pb
