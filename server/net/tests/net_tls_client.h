// The tests' TLS client: one connection, every wait bounded by kPatience,
// and the pin of the key the server presented.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>

#include "server/net/tests/net_test_support.h"

namespace pbs::test {

class TlsClient {
 public:
  // `max_version`: the highest protocol the client offers (TLS1_3_VERSION,
  // TLS1_1_VERSION, ...); the client itself allows anything down to SSL 3.
  explicit TlsClient(int max_version = 0);
  bool Connect(const boost::asio::ip::tcp::endpoint& to);  // and handshake
  Reply Exchange(const std::string& request);               // write, read one reply
  const std::string& pin() const { return pin_; }          // after Connect

 private:
  bool RunUntil(const bool& done);
  boost::asio::io_context io_;
  boost::asio::ssl::context context_;
  std::unique_ptr<boost::asio::ssl::stream<boost::asio::ip::tcp::socket>> stream_;
  std::string pin_;
  std::string pending_;  // bytes read past the last reply
};

// The first flight of a TLS client (its ClientHello), as bytes to send on a
// raw connection that then says nothing more: a handshake left in progress.
std::string ClientHello();

// Makes a self-signed certificate and its key in `dir` with the openssl
// command: "rsa" (2048 bits) or "ec" (P-256). Returns the openssl command's
// pin of the key (sha256//...), empty when openssl failed.
std::string MakeCertificate(const std::string& dir, const std::string& kind,
                            const std::string& cert, const std::string& key);

}  // namespace pbs::test
