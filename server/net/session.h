// One accepted connection, plain or TLS, from its first byte to its close.
//
// A connection goes: (TLS handshake) -> idle (no byte of a request yet) ->
// request (header, then body) -> waiting (for a database thread) -> writing
// -> idle again when kept alive, or closing. Every wait has a deadline
// (ServeOptions' *_timeout fields); a passed deadline closes the connection
// without a reply. Nothing blocks: a slow client holds memory (bounded by the
// caps), never a thread.
//
// Replies the session makes itself, each logged and counted like a fetch:
//   header above header_limit or body above body_limit: HTTP 400, body the
//     reply format's "error=400&errorD=Request too large", then close;
//   a request HTTP cannot read: HTTP 400 "Malformed request", then close;
//   the address over its rate limit, the database queue full, a fetch that
//   waited in the queue beyond queue_wait_limit, DatabaseUnavailable (or any
//   other exception of the service): HTTP 503 with an empty body.
// Every reply has Content-Length and Content-Type: text/plain; "Connection:
// close" unless the connection is kept alive (the client asked, fewer than
// max_requests_per_connection requests so far, the server not stopping).
#pragma once

#include <memory>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "server/net/serve_state.h"

namespace pbs {

enum class Site {
  kFetch,    // the product's fetches, answered by the FetchService
  kMetrics,  // GET /metrics (Prometheus text) and GET /health
  kAdmin,    // the admin API and the dashboard, answered by the AdminService
};

// Serves `socket` until it closes. `tls` null: plain HTTP. The caller has
// already counted the connection (Metrics::open_connections for kFetch,
// ServeState::metrics_connections for kMetrics, ServeState::admin_connections
// for kAdmin); the session uncounts it.
// The admin site's own replies (too large: 413, unreadable: 400, the database
// queue full or no AdminService: 503) are JSON {"error", "message"} with
// Cache-Control: no-store; everything else is the AdminService's answer.
// `peer_slot`: the slot of ServeState::peer_slots (admin_peer_slots for
// kAdmin) the connection holds (empty:
// none); given back when the session ends.
void StartSession(ServeState& state, boost::asio::ip::tcp::socket socket, Site site,
                  std::shared_ptr<boost::asio::ssl::context> tls, std::string peer_slot = {});

}  // namespace pbs
