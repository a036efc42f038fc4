#include "server/admin/credentials.h"

#include <sodium.h>

#include <mutex>
#include <stdexcept>

namespace pbs::admin {
namespace {

std::string RandomBase64Url(std::size_t bytes) {
  InitCrypto();
  std::string raw(bytes, '\0');
  randombytes_buf(raw.data(), raw.size());
  std::string out(sodium_base64_ENCODED_LEN(bytes, sodium_base64_VARIANT_URLSAFE_NO_PADDING), '\0');
  sodium_bin2base64(out.data(), out.size(), reinterpret_cast<const unsigned char*>(raw.data()), raw.size(),
                    sodium_base64_VARIANT_URLSAFE_NO_PADDING);
  out.resize(out.find('\0'));
  sodium_memzero(raw.data(), raw.size());
  return out;
}

}  // namespace

void InitCrypto() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = sodium_init() >= 0; });
  if (!ok) throw std::runtime_error("libsodium could not start");
}

std::string HashPassword(std::string_view password) {
  InitCrypto();
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                        crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0) {
    throw std::runtime_error("not enough memory to hash the password");
  }
  return out;
}

bool VerifyPassword(const std::string& hash, std::string_view password) {
  InitCrypto();
  if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void VerifyNothing(std::string_view password) {
  static const std::string dummy = HashPassword("a password nobody has");
  VerifyPassword(dummy, password);
}

std::string NewApiToken() { return "pbt_" + RandomBase64Url(32); }

std::string NewSecret() { return RandomBase64Url(32); }

std::string Sha256Hex(std::string_view text) {
  InitCrypto();
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  char hex[crypto_hash_sha256_BYTES * 2 + 1];
  sodium_bin2hex(hex, sizeof hex, digest, sizeof digest);
  return hex;
}

}  // namespace pbs::admin
