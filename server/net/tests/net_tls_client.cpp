#include "server/net/tests/net_tls_client.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>


namespace pbs::test {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {

std::string PinOfCertificate(X509* cert) {
  if (!cert) return {};
  EVP_PKEY* key = X509_get0_pubkey(cert);
  const int size = i2d_PUBKEY(key, nullptr);
  std::vector<unsigned char> der(static_cast<std::size_t>(size));
  unsigned char* out = der.data();
  i2d_PUBKEY(key, &out);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr);
  std::array<unsigned char, 64> text{};
  const int n = EVP_EncodeBlock(text.data(), digest, static_cast<int>(length));
  return "sha256//" + std::string(reinterpret_cast<char*>(text.data()), static_cast<std::size_t>(n));
}

}  // namespace

TlsClient::TlsClient(int max_version) : context_(net::ssl::context::tls_client) {
  context_.set_verify_mode(net::ssl::verify_none);
  SSL_CTX* native = context_.native_handle();
  // The client allows old protocols, so that only the server refuses them.
  SSL_CTX_set_security_level(native, 0);
  SSL_CTX_set_min_proto_version(native, 0);
  SSL_CTX_clear_options(native, SSL_OP_NO_TLSv1 | SSL_OP_NO_TLSv1_1);
  if (max_version != 0) SSL_CTX_set_max_proto_version(native, max_version);
}

bool TlsClient::RunUntil(const bool& done) {
  io_.restart();
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (!done && std::chrono::steady_clock::now() < deadline) {
    io_.run_for(std::chrono::milliseconds(50));
    if (io_.stopped()) io_.restart();
  }
  return done;
}

bool TlsClient::Connect(const tcp::endpoint& to) {
  stream_ = std::make_unique<net::ssl::stream<tcp::socket>>(io_, context_);
  bool done = false, ok = false;
  stream_->lowest_layer().async_connect(to, [&](boost::system::error_code ec) {
    if (ec) {
      done = true;
      return;
    }
    stream_->async_handshake(net::ssl::stream_base::client, [&](boost::system::error_code e) {
      ok = !e;
      done = true;
    });
  });
  if (!RunUntil(done) || !ok) return false;
  X509* cert = SSL_get1_peer_certificate(stream_->native_handle());
  pin_ = PinOfCertificate(cert);
  X509_free(cert);
  return true;
}

Reply TlsClient::Exchange(const std::string& request) {
  bool done = false, failed = false;
  net::async_write(*stream_, net::buffer(request), [&](boost::system::error_code ec, std::size_t) {
    failed = static_cast<bool>(ec);
    done = true;
  });
  if (!RunUntil(done) || failed) return {};
  std::optional<Reply> reply;
  while (!(reply = TakeReply(pending_))) {
    std::array<char, 4096> chunk;
    std::size_t got = 0;
    done = false;
    stream_->async_read_some(net::buffer(chunk), [&](boost::system::error_code ec, std::size_t n) {
      failed = static_cast<bool>(ec);
      got = n;
      done = true;
    });
    if (!RunUntil(done)) return {};
    pending_.append(chunk.data(), got);
    if (failed) return TakeReply(pending_).value_or(Reply{});
  }
  return *reply;
}

std::string MakeCertificate(const std::string& dir, const std::string& kind,
                            const std::string& cert, const std::string& key) {
  const std::string algorithm =
      kind == "rsa" ? "-newkey rsa:2048" : "-newkey ec -pkeyopt ec_paramgen_curve:P-256";
  const std::string make = "openssl req -x509 -nodes -days 2 -subj /CN=127.0.0.1 " + algorithm +
                           " -keyout '" + key + "' -out '" + cert + "' 2>/dev/null";
  if (std::system(make.c_str()) != 0) return {};
  const std::string pin_file = dir + "/pin.txt";
  const std::string pin = "openssl pkey -in '" + key +
                          "' -pubout -outform DER | openssl dgst -sha256 -binary | base64 > '" +
                          pin_file + "'";
  if (std::system(pin.c_str()) != 0) return {};
  std::FILE* file = std::fopen(pin_file.c_str(), "r");
  if (!file) return {};
  char text[128] = {};
  const bool read = std::fgets(text, sizeof text, file) != nullptr;
  std::fclose(file);
  if (!read) return {};
  std::string value = text;
  while (!value.empty() && (value.back() == '\n' || value.back() == '\r')) value.pop_back();
  return "sha256//" + value;
}

std::string ClientHello() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);  // the SSL owns both now
  SSL_set_connect_state(ssl);
  SSL_do_handshake(ssl);  // wants to read the server's reply: its hello is in `out`
  std::string hello;
  char chunk[4096];
  int n = 0;
  while ((n = BIO_read(out, chunk, sizeof chunk)) > 0) hello.append(chunk, static_cast<std::size_t>(n));
  SSL_free(ssl);
  SSL_CTX_free(context);
  return hello;
}

}  // namespace pbs::test
