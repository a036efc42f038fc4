// `parambridge-server serve`: the fetch listeners (http and https), the
// metrics listener, the fetch log writer and the signals. The command line
// (server/cli/) fills ServeOptions and hands over the service.
//
// What a client meets (details in session.h, listener.h, client_address.h):
//   - a header above header_limit or a body above body_limit: HTTP 400 with
//     the reply format's "error=400&errorD=Request too large", then close;
//     a request HTTP cannot read: 400 "Malformed request", then close;
//   - a passed deadline: the connection closes without a reply;
//   - beyond max_connections, or beyond max_connections_per_address of one
//     client address: the connection is closed at accept; beyond
//     max_handshakes https connections in their handshake, a new one waits
//     its turn within its handshake deadline (a connection that has sent
//     nothing, or waits its turn, holds no TLS state);
//   - over the rate limit, a full database queue, a wait in it beyond
//     queue_wait_limit, DatabaseUnavailable: HTTP 503, empty body;
//   - every reply: Content-Length, Content-Type: text/plain, and
//     "Connection: close" unless kept alive.
// Every reply to a request is a fetch log row (503 ones with status 503).
// The rate limit's address is the peer's, or, when the peer is a
// --trusted-proxy, the rightmost X-Forwarded-For hop that is not a trusted
// proxy (X-Real-IP without X-Forwarded-For); IPv6 clients count by /64.
// The admin listener (--admin-listen, off with "off"): every request is read
// within the admin caps and deadlines and handed whole, on a database thread,
// to the FetchService's AdminService (server/app/admin_service.h), whose
// answer is sent as it is; a full queue or no AdminService: HTTP 503 JSON.
// Metrics: GET /metrics (Prometheus text, names parambridge_*), GET /health
// ("ok", or an empty 503 while the last fetch asked of the database failed).
// The ready file's lines: pid=, http=, https=, metrics= (ADDR:PORT as bound),
// pin= (see ready_file.h).
#pragma once

#include <chrono>
#include <cstddef>
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
  unsigned rate_burst = 40;           // --rate-burst M (below 1 counts as 1)
  std::vector<std::string> trusted_proxies;  // --trusted-proxy ADDR or ADDR/PREFIX (repeatable)
  std::string metrics_listen = "127.0.0.1:9181";  // --metrics-listen ADDR:PORT ([v6]:PORT), empty: off
  std::string admin_listen = "127.0.0.1:9180";  // --admin-listen ADDR:PORT, "off" or empty: off
  std::string admin_cert_file;        // --admin-cert FILE: the admin listener speaks https
  std::string admin_key_file;         // --admin-key FILE
  std::string instance;               // --instance NAME, the fetch log's instance column
  unsigned db_threads = 2;            // threads that call the FetchService (at least 1)

  // Limits below have defaults a vendor rarely changes; the tests set short
  // deadlines. Each is a bound on what one outsider can make the server hold.
  unsigned net_threads = 0;           // threads running the network; 0: one a core
  std::size_t max_connections = 10000;  // open fetch connections; more are closed at accept
  std::size_t max_handshakes = 256;   // https connections in their handshake at once (at
                                      // least 1); more wait their turn, in arrival order and
                                      // within handshake_timeout, holding no TLS state
  std::size_t max_connections_per_address = 64;  // open fetch connections of one client
                                        // address (IPv6: its /64; a trusted proxy: no cap),
                                        // more are closed at accept; 0: no cap
                                        // (also lowered to fit the open-files limit)
  std::size_t header_limit = 4096;    // bytes of request line and headers; more: 400, close
  std::size_t body_limit = 4096;      // bytes of request body; more: 400, close
  std::chrono::milliseconds handshake_timeout{10000};  // TLS handshake, from accept
  std::chrono::milliseconds header_timeout{10000};     // a request's header, from its start
  std::chrono::milliseconds body_timeout{10000};       // its body, from the header's end
  std::chrono::milliseconds request_timeout{15000};    // header and body together
  std::chrono::milliseconds idle_timeout{5000};        // kept-alive: the next request's first byte
  std::chrono::milliseconds write_timeout{10000};      // the reply, to a client that reads slowly
  unsigned max_requests_per_connection = 100;          // keep-alive bound
  std::size_t queue_limit = 256;      // fetches waiting for a database thread; more: empty 503
  std::chrono::milliseconds queue_wait_limit{10000};   // waited longer in the queue: empty 503
  std::size_t log_queue_limit = 65536;  // fetch log rows waiting for the writer; more are dropped
  std::size_t rate_table_size = 65536;  // addresses the rate limit remembers (least recent evicted)
  std::chrono::milliseconds drain_timeout{10000};      // SIGTERM: longest wait for requests in progress
  // The admin listener's own caps (its deadlines are the ones above).
  std::size_t admin_header_limit = 8192;    // more: 431-style refusal as JSON (HTTP 400), close
  std::size_t admin_body_limit = 64 * 1024; // more: HTTP 413 too_large, close
  std::size_t max_admin_connections = 256;
  std::size_t max_admin_connections_per_address = 32;
};

// Makes one FetchService; called once per database thread, on that thread
// (and once for the fetch log writer's thread).
using FetchServiceFactory = std::function<std::unique_ptr<FetchService>()>;

// Serves until SIGTERM or SIGINT: stops accepting, finishes the requests in
// progress (at most drain_timeout), flushes the fetch log, prints how many log
// rows were written and dropped on stderr, removes the ready file, returns 0.
// SIGHUP loads the certificates and keys again for new connections.
// Returns 2 with a line on stderr when an option is invalid, a listener cannot
// be bound, the certificate or key cannot be read, or the factory throws.
int RunServe(const ServeOptions& options, FetchServiceFactory make_service);

}  // namespace pbs
