// The https listener's TLS set-up: a server context from a PEM certificate
// chain and a PEM private key (RSA or ECDSA P-256), TLS 1.2 and later, and the
// pin of its key. A new context is made for every (re)load; sessions hold the
// one they started with.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ssl/context.hpp>

namespace pbs {

struct TlsIdentity {
  std::shared_ptr<boost::asio::ssl::context> context;
  std::string pin;  // sha256//<Base64 of SHA-256 of the key's DER SubjectPublicKeyInfo>
};

// Reads both files and checks that the key matches the certificate. Null
// context and `error` set (one line naming the file and the cause) otherwise.
// A key protected by a passphrase is refused (nobody is there to type it).
TlsIdentity LoadTlsIdentity(const std::string& cert_file, const std::string& key_file,
                            std::string& error);

}  // namespace pbs
