// The server's key digest from CryptoAPI: CRYPT32 encodes the key info and
// hashes it (CryptHashCertificate2 runs SHA-256 through BCRYPT itself).
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <memory>

#include "params/server_key.h"

namespace pb {
namespace {

struct CertificateFree {
  void operator()(const CERT_CONTEXT* c) const { CertFreeCertificateContext(c); }
};
struct LocalMemoryFree {
  void operator()(void* p) const { LocalFree(p); }
};

}  // namespace

bool ServerKeyDigest(void* request, KeyDigest& digest) {
  // WinHTTP hands out a duplicate of the context: ours to free.
  const CERT_CONTEXT* raw = nullptr;
  DWORD size = sizeof raw;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &raw, &size) || !raw) {
    return false;
  }
  std::unique_ptr<const CERT_CONTEXT, CertificateFree> certificate(raw);
  // The certificate holds the key info decoded; encoding it again gives the
  // DER bytes that a pin is the hash of (DER has one encoding per value).
  BYTE* encoded = nullptr;
  DWORD encodedSize = 0;
  if (!CryptEncodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO,
                           &certificate->pCertInfo->SubjectPublicKeyInfo,
                           CRYPT_ENCODE_ALLOC_FLAG, nullptr, &encoded, &encodedSize)) {
    return false;
  }
  std::unique_ptr<void, LocalMemoryFree> encodedOwner(encoded);
  DWORD digestSize = static_cast<DWORD>(digest.size());
  return CryptHashCertificate2(BCRYPT_SHA256_ALGORITHM, 0, nullptr, encoded, encodedSize,
                               digest.data(), &digestSize) &&
         digestSize == digest.size();
}

}  // namespace pb
