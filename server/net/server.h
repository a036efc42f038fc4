// One serve: the listeners, the network threads, the database threads and
// the log writer, with an orderly stop. RunServe (serve.cpp) wraps it with
// the signals and the ready file; the tests drive it directly.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include "server/net/listener.h"
#include "server/net/serve.h"
#include "server/net/serve_state.h"

namespace pbs {

// Which listeners to open. A port of 0 here lets the system pick one (the
// command line's 0, "off", leaves the listener out of the plan).
struct ListenPlan {
  std::optional<boost::asio::ip::tcp::endpoint> http;
  std::optional<boost::asio::ip::tcp::endpoint> https;  // needs cert_file and key_file
  std::optional<boost::asio::ip::tcp::endpoint> metrics;
  std::optional<boost::asio::ip::tcp::endpoint> admin;   // https when admin_cert_file is set
};

// The plan the options ask for. False and `error` set when an address is not
// one, when --cert and --key are not given together, or when no fetch
// listener is left on.
bool PlanListeners(const ServeOptions& options, ListenPlan& plan, std::string& error);

// The network threads a serve runs: net_threads, or with 0 one a core (as
// `cores` tells; at least 1).
unsigned NetThreads(unsigned net_threads, unsigned cores);

// After a burst the freed memory of its connections goes back to the system:
// true when the fetch connections open now are far fewer than at the peak
// since the last look (`peak` at least kTrimFloor above twice `open`).
inline constexpr int64_t kTrimFloor = 64;
bool ShouldTrim(int64_t peak, int64_t open);

class Server {
 public:
  Server(const ServeOptions& options, FetchServiceFactory factory,
         LogWriter::Tuning log_tuning = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Reads the certificate and key, starts the database threads and the log
  // writer (each calls the factory), binds the listeners. False and `error`
  // set (one line) otherwise; the server is then unusable.
  bool Start(const ListenPlan& plan, std::string& error);

  // Where each listener is bound (after Start).
  std::optional<boost::asio::ip::tcp::endpoint> http_endpoint() const;
  std::optional<boost::asio::ip::tcp::endpoint> https_endpoint() const;
  std::optional<boost::asio::ip::tcp::endpoint> metrics_endpoint() const;
  std::optional<boost::asio::ip::tcp::endpoint> admin_endpoint() const;
  // The current key's pin; empty without https.
  std::string pin();

  boost::asio::io_context& io() { return io_; }

  // Runs the network on NetThreads threads (this one included) until a stop
  // has drained: then stops the database threads, writes the log's queue and
  // returns. Call once, after Start.
  void Run();

  // Thread-safe, idempotent: stops accepting, closes idle connections, lets
  // requests in progress finish for at most drain_timeout.
  void RequestStop();

  // Thread-safe: loads the certificate and key again into a new context for
  // new connections (current ones keep theirs), the fetch side's and the
  // admin listener's. False when one failed, and its old context stays;
  // `message` says what happened either way.
  bool ReloadTls(std::string& message);

  MetricsSnapshot Snapshot() const { return state_.metrics.Snapshot(); }

 private:
  bool ReloadFetchTls(std::string& message);
  void BeginStop();
  void CheckDrained();
  void WatchMemory();  // every kTrimEvery, ShouldTrim: malloc_trim

  FetchServiceFactory factory_;
  ServeState state_;
  bool https_ = false;
  bool admin_https_ = false;
  // Declared after state_: destroyed first, with any handler still holding
  // a session, while the state the sessions use is alive.
  boost::asio::io_context io_;
  boost::asio::steady_timer drain_timer_;
  boost::asio::steady_timer trim_timer_;
  const unsigned net_threads_;
  std::chrono::steady_clock::time_point drain_deadline_{};
  std::vector<std::shared_ptr<Listener>> listeners_;
  std::shared_ptr<Listener> http_, https_listener_, metrics_, admin_;
};

}  // namespace pbs
