#include "server/cli/pin.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <memory>

#include "server/core/reply.h"

namespace pbs {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
  void operator()(X509* x) const { X509_free(x); }
};

// The public key of the first certificate, private key or public key in PEM.
EVP_PKEY* ReadPublicKey(const std::string& path) {
  for (int kind = 0; kind < 3; ++kind) {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) return nullptr;
    if (kind == 0) {
      std::unique_ptr<X509, CertFree> cert(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
      if (cert) return X509_get_pubkey(cert.get());
    } else if (kind == 1) {
      // No passphrase is asked: a key for an unattended server has none.
      EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, [](char*, int, int, void*) { return 0; }, nullptr);
      if (key) return key;
    } else {
      EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr);
      if (key) return key;
    }
  }
  return nullptr;
}

}  // namespace

std::optional<std::string> PinOfPemFile(const std::string& path, std::string* problem) {
  {
    std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
    if (!bio) {
      *problem = "cannot read " + path;
      return std::nullopt;
    }
  }
  std::unique_ptr<EVP_PKEY, KeyFree> key(ReadPublicKey(path));
  if (!key) {
    *problem = path + " holds no PEM certificate or key";
    return std::nullopt;
  }
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key.get(), &der);
  if (size <= 0) {
    *problem = "cannot encode the public key of " + path;
    return std::nullopt;
  }
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(der, static_cast<std::size_t>(size), digest);
  OPENSSL_free(der);
  return "sha256//" + Base64Encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

}  // namespace pbs
