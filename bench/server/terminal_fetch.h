// One fetch as a terminal makes it: a new TCP connection from a given
// loopback source address, a full TLS handshake (the client context keeps no
// session and takes no ticket, so nothing can be resumed), one POST of the
// fetch form, the whole reply read and judged, then close. Timed from the
// start of the connect to the reply's end (or to the failure).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "bench/server/reply_check.h"

namespace pbbench {

enum class Outcome {
  kServed,       // the expected reply
  kUnavailable,  // an empty 503
  kWrong,        // any other reply, or a reply cut short
  kNoAnswer,     // no connection, a failed handshake, nothing read, or the deadline passed
};

struct FetchResult {
  Outcome outcome = Outcome::kNoAnswer;
  uint32_t micros = 0;   // connect start to the reply's end (or the failure)
  bool resumed = false;  // the TLS session was resumed (must never happen)
  std::string reply;     // the bytes read, for a wrong answer's report
};

// What every fetch of one run shares.
struct FetchTarget {
  boost::asio::ip::tcp::endpoint server;
  std::string request;  // the whole HTTP request, sent as is
  ExpectedReply expected;
  std::chrono::milliseconds deadline{30000};
};

// A client context for terminals: TLS 1.2 or 1.3, no certificate check (the
// contenders' keys are self-signed; the DLL pins instead), no session cache,
// no tickets.
std::shared_ptr<boost::asio::ssl::context> MakeTerminalContext();

// The request a terminal sends: POST `path` with the form `body`.
std::string FetchRequest(const std::string& host, const std::string& path, const std::string& body);

using FetchDone = std::function<void(const FetchResult&)>;

// Starts one fetch from `source` (host-order 127.x.y.z); `done` runs once, on
// the io_context's thread.
void StartFetch(boost::asio::io_context& io, std::shared_ptr<boost::asio::ssl::context> tls,
                const FetchTarget& target, uint32_t source, FetchDone done);

}  // namespace pbbench
