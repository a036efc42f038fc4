// The pin of a server key in PRODUCT_SERVER_PINS form: "sha256//" and the
// padded Base64 of the SHA-256 of its DER SubjectPublicKeyInfo.
#pragma once

#include <optional>
#include <string>

namespace pbs {

// From a PEM file holding a certificate (its first), a private key or a
// public key. Nothing (and `problem` says why) when it holds none of them.
std::optional<std::string> PinOfPemFile(const std::string& path, std::string* problem);

}  // namespace pbs
