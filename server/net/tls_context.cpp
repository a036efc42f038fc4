#include "server/net/tls_context.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

namespace pbs {
namespace {

namespace ssl = boost::asio::ssl;

// The reason OpenSSL queued last, and the queue emptied.
std::string OpenSslReason(const boost::system::error_code& fallback) {
  unsigned long code = 0, last = 0;
  while ((code = ERR_get_error()) != 0) last = code;
  if (last == 0) return fallback.message();
  char text[256];
  ERR_error_string_n(last, text, sizeof text);
  return text;
}

std::string PinOf(EVP_PKEY* key) {
  const int size = i2d_PUBKEY(key, nullptr);
  if (size <= 0) return {};
  std::vector<unsigned char> der(static_cast<std::size_t>(size));
  unsigned char* out = der.data();
  i2d_PUBKEY(key, &out);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_size = 0;
  if (EVP_Digest(der.data(), der.size(), digest, &digest_size, EVP_sha256(), nullptr) != 1) return {};
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(digest_size));
  return "sha256//" + std::string(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(length));
}

}  // namespace

TlsIdentity LoadTlsIdentity(const std::string& cert_file, const std::string& key_file,
                            std::string& error) {
  // OpenSSL says "system lib" for a file it cannot open: say why.
  for (const auto& [what, path] : {std::pair<const char*, const std::string&>{"certificate", cert_file},
                                   {"key", key_file}}) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) {
      error = std::string(what) + " " + path + ": " + std::strerror(errno);
      return {};
    }
    std::fclose(file);
  }
  ERR_clear_error();
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                       ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                       ssl::context::no_tlsv1_1 | ssl::context::single_dh_use);
  SSL_CTX* native = context->native_handle();
  SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION);
  // No renegotiation: a client could make the server do handshakes for free.
  SSL_CTX_set_options(native, SSL_OP_NO_RENEGOTIATION);
  // A connection between requests gives its record buffers back.
  SSL_CTX_set_mode(native, SSL_MODE_RELEASE_BUFFERS);
  context->set_password_callback(
      [](std::size_t, ssl::context::password_purpose) { return std::string(); });
  boost::system::error_code ec;
  context->use_certificate_chain_file(cert_file, ec);
  if (ec) {
    error = "certificate " + cert_file + ": " + OpenSslReason(ec);
    return {};
  }
  context->use_private_key_file(key_file, ssl::context::pem, ec);
  if (ec) {
    error = "key " + key_file + ": " + OpenSslReason(ec);
    return {};
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    error = "key " + key_file + " does not match certificate " + cert_file + ": " +
            OpenSslReason(ec);
    return {};
  }
  EVP_PKEY* key = SSL_CTX_get0_privatekey(native);
  std::string pin = key ? PinOf(key) : std::string();
  if (pin.empty()) {
    error = "key " + key_file + ": its public key could not be encoded";
    return {};
  }
  return TlsIdentity{context, pin};
}

}  // namespace pbs
