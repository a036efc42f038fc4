#include "server/net/serve_state.h"

#include <vector>

namespace pbs {

void SessionRegistry::Add(const std::shared_ptr<SessionBase>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_[session.get()] = session;
}

void SessionRegistry::Remove(const SessionBase* session) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(session);
}

void SessionRegistry::StopAll() {
  std::vector<std::weak_ptr<SessionBase>> all;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    all.reserve(sessions_.size());
    for (const auto& entry : sessions_) all.push_back(entry.second);
  }
  for (const std::weak_ptr<SessionBase>& weak : all) {
    if (std::shared_ptr<SessionBase> session = weak.lock()) session->Stop();
  }
}

ServeState::ServeState(const ServeOptions& o, LogWriter::Tuning log_tuning)
    : options(o),
      pool(o.queue_limit, metrics),
      log(o.log_queue_limit, metrics, std::move(log_tuning)),
      peer_slots(o.max_connections_per_address),
      admin_peer_slots(o.max_admin_connections_per_address),
      handshake_slots(o.max_handshakes),
      rate_(o.rate_limit, o.rate_burst, o.rate_table_size) {}

bool ServeState::AllowRate(const std::string& key) {
  std::lock_guard<std::mutex> lock(rate_mutex_);
  // Read under the lock: the limiter's time never goes backwards.
  return rate_.Allow(key, std::chrono::steady_clock::now());
}

TlsIdentity ServeState::CurrentTls() {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  return tls_;
}

void ServeState::SetTls(TlsIdentity identity) {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  tls_ = std::move(identity);
}

TlsIdentity ServeState::CurrentAdminTls() {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  return admin_tls_;
}

void ServeState::SetAdminTls(TlsIdentity identity) {
  std::lock_guard<std::mutex> lock(tls_mutex_);
  admin_tls_ = std::move(identity);
}

}  // namespace pbs
