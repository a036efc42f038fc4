// `parambridge-server serve`: the fetch listeners (http and https), the
// metrics listener, the fetch log writer and the signals. The command line
// (server/cli/) fills ServeOptions and hands over the service.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/app/fetch_service.h"

namespace pbs {

struct ServeOptions {
  std::string listen = "127.0.0.1";   // --listen ADDR (IPv4 or IPv6 literal)
  uint16_t http_port = 80;            // --http-port P, 0: off
  uint16_t https_port = 443;          // --https-port P, 0: off (also off without --cert/--key)
  std::string cert_file;              // --cert FILE (PEM chain)
  std::string key_file;               // --key FILE (PEM, RSA or ECDSA P-256)
  std::string ready_file;             // --ready-file FILE: written once every listener is bound
  unsigned rate_limit = 20;           // --rate-limit N: fetches per minute per address, 0: off
  unsigned rate_burst = 40;           // --rate-burst M
  std::vector<std::string> trusted_proxies;  // --trusted-proxy ADDR (repeatable)
  std::string metrics_listen = "127.0.0.1:9181";  // --metrics-listen ADDR:PORT, empty: off
  std::string instance;               // --instance NAME, the fetch log's instance column
  unsigned db_threads = 2;            // threads that call the FetchService
};

// Makes one FetchService; called once per database thread, on that thread.
using FetchServiceFactory = std::function<std::unique_ptr<FetchService>()>;

// Serves until SIGTERM or SIGINT: finishes the requests in progress, flushes
// the fetch log, returns 0. Returns 2 with a line on stderr when a listener
// cannot be bound or the certificate or key cannot be read.
int RunServe(const ServeOptions& options, FetchServiceFactory make_service);

}  // namespace pbs
