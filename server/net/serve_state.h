// What every connection of one serve shares: the options, the counters, the
// rate limit, the database threads, the log writer, the open sessions and the
// current TLS identity. Owned by Server; sessions hold a reference and never
// outlive it.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "server/net/client_address.h"
#include "server/net/db_pool.h"
#include "server/net/handshake_slots.h"
#include "server/net/log_writer.h"
#include "server/net/metrics.h"
#include "server/net/peer_slots.h"
#include "server/net/rate_limiter.h"
#include "server/net/serve.h"
#include "server/net/tls_context.h"

namespace pbs {

// A connection the server may have to stop.
class SessionBase {
 public:
  virtual ~SessionBase() = default;
  // Thread-safe: closes the connection if it waits for a request, or makes it
  // close after the reply in progress.
  virtual void Stop() = 0;
};

class SessionRegistry {
 public:
  void Add(const std::shared_ptr<SessionBase>& session);
  void Remove(const SessionBase* session);
  void StopAll();

 private:
  std::mutex mutex_;
  std::unordered_map<const SessionBase*, std::weak_ptr<SessionBase>> sessions_;
};

struct ServeState {
  ServeState(const ServeOptions& options, LogWriter::Tuning log_tuning);

  // True (and a token taken) when `key` may make a request now.
  bool AllowRate(const std::string& key);
  TlsIdentity CurrentTls();
  void SetTls(TlsIdentity identity);
  TlsIdentity CurrentAdminTls();
  void SetAdminTls(TlsIdentity identity);

  const ServeOptions options;
  Metrics metrics;
  TrustedProxies trusted;
  DbPool pool;
  LogWriter log;
  SessionRegistry registry;
  PeerSlots peer_slots;
  PeerSlots admin_peer_slots;   // the admin listener's connections per address
  HandshakeSlots handshake_slots;  // the fetch side's TLS handshakes at once
  std::atomic<int64_t> admin_connections{0};
  // Set once by a stop; sessions read it before keeping a connection alive.
  std::atomic<bool> stopping{false};
  std::atomic<int64_t> metrics_connections{0};

 private:
  std::mutex rate_mutex_;
  RateLimiter rate_;
  std::mutex tls_mutex_;
  TlsIdentity tls_;
  TlsIdentity admin_tls_;
};

}  // namespace pbs
