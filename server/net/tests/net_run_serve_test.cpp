// RunServe as the command line runs it: the options it refuses, the ready
// file, SIGHUP and SIGTERM.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include "server/net/endpoint_text.h"
#include "server/net/tests/net_test_support.h"
#include "server/net/tests/net_tls_client.h"

namespace pbs {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using test::WaitFor;

// A port nobody listens on now (the system's pick, released).
uint16_t FreePort() {
  net::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
  return probe.local_endpoint().port();
}

std::map<std::string, std::string> ReadKeyValues(const std::string& path) {
  std::map<std::string, std::string> values;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) {
    const std::size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

struct RefusedCase {
  const char* name;
  void (*set)(ServeOptions& o, const std::string& dir, uint16_t busy_port);
  bool factory_throws;
};

const RefusedCase kRefused[] = {
    {"--listen that is no address", [](ServeOptions& o, const std::string&, uint16_t) { o.listen = "localhost"; }, false},
    {"--cert without --key", [](ServeOptions& o, const std::string& d, uint16_t) { o.cert_file = d + "/cert.pem"; }, false},
    {"--key without --cert", [](ServeOptions& o, const std::string& d, uint16_t) { o.key_file = d + "/key.pem"; }, false},
    {"every listener off", [](ServeOptions& o, const std::string&, uint16_t) { o.http_port = 0; }, false},
    {"https without a certificate is off", [](ServeOptions& o, const std::string&, uint16_t) {
       o.http_port = 0;
       o.https_port = 8443;
     }, false},
    {"--metrics-listen without a port", [](ServeOptions& o, const std::string&, uint16_t) { o.metrics_listen = "127.0.0.1"; }, false},
    {"--trusted-proxy that is no address", [](ServeOptions& o, const std::string&, uint16_t) { o.trusted_proxies = {"proxy"}; }, false},
    {"a certificate file that is not there", [](ServeOptions& o, const std::string& d, uint16_t) {
       o.https_port = FreePort();
       o.cert_file = d + "/none.pem";
       o.key_file = d + "/none.pem";
     }, false},
    {"a port in use", [](ServeOptions& o, const std::string&, uint16_t busy) { o.http_port = busy; }, false},
    {"a metrics port in use", [](ServeOptions& o, const std::string&, uint16_t busy) {
       o.metrics_listen = "127.0.0.1:" + std::to_string(busy);
     }, false},
    {"--admin-listen without a port", [](ServeOptions& o, const std::string&, uint16_t) { o.admin_listen = "127.0.0.1"; }, false},
    {"--admin-cert without --admin-key", [](ServeOptions& o, const std::string& d, uint16_t) {
       o.admin_listen = "127.0.0.1:0";
       o.admin_cert_file = d + "/cert.pem";
     }, false},
    {"an admin certificate that is not there", [](ServeOptions& o, const std::string& d, uint16_t) {
       o.admin_listen = "127.0.0.1:0";
       o.admin_cert_file = d + "/none.pem";
       o.admin_key_file = d + "/none.pem";
     }, false},
    {"an admin port in use", [](ServeOptions& o, const std::string&, uint16_t busy) {
       o.admin_listen = "127.0.0.1:" + std::to_string(busy);
     }, false},
    {"the database cannot be opened", [](ServeOptions&, const std::string&, uint16_t) {}, true},
};

TEST(RunServe, RefusedTable) {
  net::io_context io;
  tcp::acceptor busy(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0));
  const uint16_t busy_port = busy.local_endpoint().port();
  for (const RefusedCase& c : kRefused) {
    test::TempDir dir;
    ServeOptions options = test::TestOptions();
    options.http_port = FreePort();
    options.https_port = 0;
    options.ready_file = dir.path() + "/ready";
    c.set(options, dir.path(), busy_port);
    auto script = std::make_shared<test::Script>();
    FetchServiceFactory factory = test::FakeFactory(script);
    if (c.factory_throws) {
      factory = []() -> std::unique_ptr<FetchService> { throw DatabaseUnavailable("locked"); };
    }
    EXPECT_EQ(RunServe(options, factory), 2) << c.name;
    EXPECT_FALSE(std::filesystem::exists(options.ready_file)) << c.name;
  }
}

// The whole life of a serve: ready file, fetches over http and https, a key
// change by SIGHUP, a stop by SIGTERM with a request in progress.
TEST(RunServe, ReadySighupSigterm) {
  test::TempDir dir;
  ServeOptions options = test::TestOptions();
  options.http_port = FreePort();
  options.https_port = FreePort();
  options.cert_file = dir.path() + "/cert.pem";
  options.key_file = dir.path() + "/key.pem";
  options.metrics_listen = "127.0.0.1:0";
  options.ready_file = dir.path() + "/ready";
  const std::string rsa_pin =
      test::MakeCertificate(dir.path(), "rsa", options.cert_file, options.key_file);
  ASSERT_FALSE(rsa_pin.empty());
  auto script = std::make_shared<test::Script>();
  int status = -1;
  std::thread serve([&] { status = RunServe(options, test::FakeFactory(script)); });

  ASSERT_TRUE(WaitFor([&] { return std::filesystem::exists(options.ready_file); }));
  auto ready = ReadKeyValues(options.ready_file);
  EXPECT_EQ(ready["pid"], std::to_string(::getpid()));
  EXPECT_EQ(ready["http"], "127.0.0.1:" + std::to_string(options.http_port));
  EXPECT_EQ(ready["https"], "127.0.0.1:" + std::to_string(options.https_port));
  EXPECT_EQ(ready["pin"], rsa_pin);
  const auto metrics = ParseEndpoint(ready["metrics"]);
  ASSERT_TRUE(metrics) << ready["metrics"];
  EXPECT_NE(metrics->port(), 0) << "the port the system picked";
  const auto http = *ParseEndpoint(ready["http"]);
  const auto https = *ParseEndpoint(ready["https"]);

  EXPECT_EQ(test::Fetch(http, test::Post("account=1&accountType=0")).status, 200);
  EXPECT_EQ(test::Fetch(*metrics, "GET /health HTTP/1.1\r\nHost: x\r\n\r\n").body, "ok");

  const std::string ec_pin =
      test::MakeCertificate(dir.path(), "ec", options.cert_file, options.key_file);
  ASSERT_FALSE(ec_pin.empty());
  ASSERT_EQ(::kill(::getpid(), SIGHUP), 0);
  EXPECT_TRUE(WaitFor([&] {
    test::TlsClient client;
    return client.Connect(https) && client.pin() == ec_pin;
  })) << "SIGHUP loads the new key";

  test::RawClient busy(http);
  ASSERT_TRUE(busy.Send(test::Post("account=slow&accountType=0")));
  ASSERT_TRUE(WaitFor([&] { return script->slow_waiting() == 1; }));
  ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
  EXPECT_TRUE(WaitFor([&] { return !test::RawClient(http).connected(); }))
      << "SIGTERM stops accepting";
  script->Release();
  EXPECT_EQ(busy.Read().status, 200) << "the request in progress is answered";
  serve.join();
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(std::filesystem::exists(options.ready_file)) << "the ready file is removed";
  bool slow_logged = false;
  for (const FetchLogRow& row : script->Logged()) slow_logged |= row.account == "slow";
  EXPECT_TRUE(slow_logged) << "the log is flushed before RunServe returns";
}

// How many network threads a serve runs, and when the memory of a burst's
// connections goes back to the system.
struct ThreadsCase {
  unsigned asked, cores, runs;
};
struct TrimCase {
  int64_t peak, open;
  bool trim;
};

TEST(RunServe, ThreadsAndTrimTable) {
  const ThreadsCase threads[] = {
      {0, 2, 2},   // the default: one a core, as nginx runs a worker a core
      {0, 8, 8},
      {0, 0, 1},   // the core count unknown
      {3, 2, 3},   // asked for: as asked
      {1, 16, 1},
  };
  for (const ThreadsCase& c : threads) {
    EXPECT_EQ(NetThreads(c.asked, c.cores), c.runs) << c.asked << " on " << c.cores << " cores";
  }
  const TrimCase trims[] = {
      {0, 0, false},                        // nothing happened
      {kTrimFloor - 1, 0, false},           // a few connections: not worth a trim
      {kTrimFloor, 0, true},                // a burst, all gone
      {10000, 5000, false},                 // half of it still open
      {10000, 4968, true},                  // 10000 = 2 * 4968 + 64
      {10000, 4969, false},
      {5, 100, false},                      // rising
      {200, -1, true},                      // a gauge read mid-update below 0 counts as 0
  };
  for (const TrimCase& c : trims) {
    EXPECT_EQ(ShouldTrim(c.peak, c.open), c.trim) << c.peak << " -> " << c.open;
  }
}

}  // namespace
}  // namespace pbs
