#include "server/net/metrics.h"

namespace pbs {

void Metrics::CountFetch(int status, uint64_t micros) {
  std::size_t slot = kCountedStatuses.size();
  for (std::size_t i = 0; i < kCountedStatuses.size(); ++i) {
    if (kCountedStatuses[i] == status) slot = i;
  }
  fetches_[slot].fetch_add(1, std::memory_order_relaxed);
  std::size_t bucket = kLatencyBoundsMicros.size();
  for (std::size_t i = 0; i < kLatencyBoundsMicros.size(); ++i) {
    if (micros <= kLatencyBoundsMicros[i]) {
      bucket = i;
      break;
    }
  }
  latency_buckets_[bucket].fetch_add(1, std::memory_order_relaxed);
  latency_sum_micros_.fetch_add(micros, std::memory_order_relaxed);
}

MetricsSnapshot Metrics::Snapshot() const {
  MetricsSnapshot s;
  for (std::size_t i = 0; i < fetches_.size(); ++i) s.fetches[i] = fetches_[i].load();
  for (std::size_t i = 0; i < latency_buckets_.size(); ++i) {
    s.latency_buckets[i] = latency_buckets_[i].load();
  }
  s.latency_sum_micros = latency_sum_micros_.load();
  for (std::size_t i = 0; i < unavailable_.size(); ++i) s.unavailable[i] = unavailable_[i].load();
  s.log_rows_written = log_rows_written.load();
  s.log_rows_dropped = log_rows_dropped.load();
  s.connections_refused = connections_refused.load();
  s.connections_timed_out = connections_timed_out.load();
  s.tls_handshake_failures = tls_handshake_failures.load();
  s.tls_reloads = tls_reloads.load();
  s.tls_reload_failures = tls_reload_failures.load();
  s.open_connections = open_connections.load();
  s.handshakes_in_progress = handshakes_in_progress.load();
  s.handshakes_waiting = handshakes_waiting.load();
  s.tls_streams = tls_streams.load();
  s.queue_depth = queue_depth.load();
  s.log_queue_depth = log_queue_depth.load();
  s.database_up = database_up.load();
  return s;
}

}  // namespace pbs
