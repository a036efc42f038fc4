// The serve command's counters, shared by the network and database threads
// (atomics, no locks), and their Prometheus text. The text is made from a
// plain snapshot by a pure function.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

namespace pbs {

// The `error` statuses counted one by one; every other lands in "other".
inline constexpr std::array<int, 10> kCountedStatuses = {100, 201, 202, 203, 204, 205,
                                                         400, 404, 405, 503};
// Upper bounds of the latency histogram's buckets, in microseconds (+Inf last).
inline constexpr std::array<uint64_t, 13> kLatencyBoundsMicros = {
    1000, 2500, 5000, 10000, 25000, 50000, 100000, 250000, 500000,
    1000000, 2500000, 5000000, 10000000};

// Why an empty 503 was sent.
enum class Unavailable { kRateLimit, kQueueFull, kQueueWait, kDatabase, kStopping };
inline constexpr std::size_t kUnavailableReasons = 5;

struct MetricsSnapshot {
  std::array<uint64_t, kCountedStatuses.size() + 1> fetches{};  // by status, "other" last
  std::array<uint64_t, kLatencyBoundsMicros.size() + 1> latency_buckets{};  // not cumulative
  uint64_t latency_sum_micros = 0;
  std::array<uint64_t, kUnavailableReasons> unavailable{};
  uint64_t log_rows_written = 0;
  uint64_t log_rows_dropped = 0;
  uint64_t connections_refused = 0;   // beyond max_connections
  uint64_t connections_timed_out = 0;  // a deadline passed
  uint64_t tls_handshake_failures = 0;
  uint64_t tls_reloads = 0;
  uint64_t tls_reload_failures = 0;
  int64_t open_connections = 0;
  int64_t handshakes_in_progress = 0;  // fetch connections in their TLS handshake
  int64_t handshakes_waiting = 0;  // fetch connections waiting for a handshake slot
  int64_t tls_streams = 0;  // connections holding TLS state (a silent one holds none)
  int64_t queue_depth = 0;
  int64_t log_queue_depth = 0;
  bool database_up = true;  // the last fetch the database was asked about was answered
};

// Prometheus text exposition (version 0.0.4), metric names prefixed
// "parambridge_", ending in a newline.
std::string FormatMetrics(const MetricsSnapshot& snapshot);

class Metrics {
 public:
  void CountFetch(int status, uint64_t micros);
  // Raises open_connections_peak to `open` when it is below.
  void NoteOpen(int64_t open) {
    int64_t peak = open_connections_peak.load(std::memory_order_relaxed);
    while (peak < open && !open_connections_peak.compare_exchange_weak(peak, open)) {
    }
  }
  void CountUnavailable(Unavailable reason) {
    unavailable_[static_cast<std::size_t>(reason)].fetch_add(1, std::memory_order_relaxed);
  }
  MetricsSnapshot Snapshot() const;

  std::atomic<uint64_t> log_rows_written{0};
  std::atomic<uint64_t> log_rows_dropped{0};
  std::atomic<uint64_t> connections_refused{0};
  std::atomic<uint64_t> connections_timed_out{0};
  std::atomic<uint64_t> tls_handshake_failures{0};
  std::atomic<uint64_t> tls_reloads{0};
  std::atomic<uint64_t> tls_reload_failures{0};
  std::atomic<int64_t> open_connections{0};
  std::atomic<int64_t> open_connections_peak{0};  // highest since the server last looked
  std::atomic<int64_t> handshakes_in_progress{0};
  std::atomic<int64_t> handshakes_waiting{0};
  std::atomic<int64_t> tls_streams{0};
  std::atomic<int64_t> queue_depth{0};
  std::atomic<int64_t> log_queue_depth{0};
  std::atomic<bool> database_up{true};

 private:
  std::array<std::atomic<uint64_t>, kCountedStatuses.size() + 1> fetches_{};
  std::array<std::atomic<uint64_t>, kLatencyBoundsMicros.size() + 1> latency_buckets_{};
  std::atomic<uint64_t> latency_sum_micros_{0};
  std::array<std::atomic<uint64_t>, kUnavailableReasons> unavailable_{};
};

}  // namespace pbs
