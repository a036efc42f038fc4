// The boundary between the network shell (server/net/) and the product's
// logic over its database (server/core/, server/db/). The network layer
// knows nothing of licenses or engines; the logic knows nothing of sockets.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/app/admin_service.h"

namespace pbs {

using Clock = std::chrono::system_clock;

// One request as it arrived, after the network layer's own limits (header
// and body caps, deadlines, the per-address rate limit) let it through.
struct FetchInput {
  std::string method;   // "POST", "GET", ... as sent
  std::string target;   // the request target, e.g. "/parambridge/run/"
  std::string body;     // at most the body cap, never chunk-encoded here
  std::string peer;     // the client's address (a trusted proxy's header applied)
  bool https = false;
  Clock::time_point received;  // when the request's headers were complete
};

// What to send back. `body` is already in the reply format (Base64 on one
// line) or empty; the network layer adds Content-Length and nothing else
// that changes the body.
struct FetchAnswer {
  int http_status = 200;   // 200 for every decision, 400/404/405 as the stand-in
  std::string body;
  // For the fetch log and the metrics:
  int status = 0;          // the `error` value sent (100, 201..205, 400, 404, 405)
  std::string product;     // the product's name, empty when the path named none
  std::string account;     // as parsed, empty when unparsable
  int32_t account_type = 0;
};

// One row of the fetch log.
struct FetchLogRow {
  Clock::time_point time;
  std::string product;       // empty: the path named no product
  std::string account;       // at most 256 bytes kept (longer is cut by the writer)
  int32_t account_type = 0;
  std::string peer;
  bool https = false;
  int status = 0;            // the `error` sent; 503 for the empty 503
  int64_t micros = 0;        // from `received` to the reply's last byte handed to the socket
  std::string instance;      // which server process answered (empty: this one)
};

// The database cannot answer now (locked, gone, restarting). The network
// layer answers HTTP 503 with an empty body: never a decision.
struct DatabaseUnavailable : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Implemented over the database. Every call may block (SQLite, later a
// network database): the network layer calls it only from its database
// threads, never from a network thread. Thread-safe: each database thread
// may call it at once (an implementation may keep one connection a thread).
class FetchService {
 public:
  virtual ~FetchService() = default;
  // Decides one fetch: path, method, request body, license, trial, set and
  // overrides, as of `in.received`. Throws DatabaseUnavailable (-> empty 503).
  virtual FetchAnswer Answer(const FetchInput& in) = 0;
  // Appends rows to the fetch log in one transaction, and applies the
  // retention setting now and then. Throws DatabaseUnavailable when they
  // could not be kept (the caller counts them as dropped).
  virtual void WriteLog(const std::vector<FetchLogRow>& rows) = 0;
  // Adds `count` to the database's count of log rows that could not be kept
  // (rows dropped before they reached WriteLog, or in a WriteLog that threw),
  // which `parambridge-server log` reports. Throws DatabaseUnavailable like
  // WriteLog (keep the count and try again with the next batch).
  virtual void NoteDroppedRows(uint64_t count) { (void)count; }
  // The admin API on this database thread's connection, or null when this
  // service has none (the admin listener then answers 503).
  virtual AdminService* Admin() { return nullptr; }
};

}  // namespace pbs
