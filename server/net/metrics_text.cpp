// FormatMetrics: the Prometheus text of a snapshot.
#include <cstdio>

#include "server/net/metrics.h"

namespace pbs {
namespace {

constexpr const char* kUnavailableNames[kUnavailableReasons] = {
    "rate_limit", "queue_full", "queue_wait", "database", "stopping"};

void Head(std::string& out, const char* name, const char* type, const char* help) {
  out += "# HELP parambridge_";
  out += name;
  out += ' ';
  out += help;
  out += "\n# TYPE parambridge_";
  out += name;
  out += ' ';
  out += type;
  out += '\n';
}

void Sample(std::string& out, const char* name, const std::string& labels, int64_t value) {
  out += "parambridge_";
  out += name;
  if (!labels.empty()) out += "{" + labels + "}";
  out += ' ';
  out += std::to_string(value);
  out += '\n';
}

void One(std::string& out, const char* name, const char* type, const char* help, int64_t value) {
  Head(out, name, type, help);
  Sample(out, name, "", value);
}

// Microseconds as seconds, exactly: "0.0025", "1", "12.000001".
std::string Seconds(uint64_t micros) {
  std::string text = std::to_string(micros / 1000000);
  uint64_t fraction = micros % 1000000;
  if (fraction == 0) return text;
  char digits[8];
  std::snprintf(digits, sizeof digits, "%06llu", static_cast<unsigned long long>(fraction));
  std::string tail(digits);
  while (tail.back() == '0') tail.pop_back();
  return text + "." + tail;
}

}  // namespace

std::string FormatMetrics(const MetricsSnapshot& s) {
  std::string out;
  Head(out, "fetches_total", "counter", "Fetch replies sent, by the error status sent (503: empty).");
  for (std::size_t i = 0; i < kCountedStatuses.size(); ++i) {
    Sample(out, "fetches_total", "status=\"" + std::to_string(kCountedStatuses[i]) + "\"",
           static_cast<int64_t>(s.fetches[i]));
  }
  Sample(out, "fetches_total", "status=\"other\"",
         static_cast<int64_t>(s.fetches[kCountedStatuses.size()]));

  Head(out, "fetch_duration_seconds", "histogram",
       "From a request's complete header to its reply handed to the socket.");
  uint64_t cumulative = 0;
  for (std::size_t i = 0; i < kLatencyBoundsMicros.size(); ++i) {
    cumulative += s.latency_buckets[i];
    Sample(out, "fetch_duration_seconds_bucket", "le=\"" + Seconds(kLatencyBoundsMicros[i]) + "\"",
           static_cast<int64_t>(cumulative));
  }
  cumulative += s.latency_buckets[kLatencyBoundsMicros.size()];
  Sample(out, "fetch_duration_seconds_bucket", "le=\"+Inf\"", static_cast<int64_t>(cumulative));
  out += "parambridge_fetch_duration_seconds_sum " + Seconds(s.latency_sum_micros) + "\n";
  Sample(out, "fetch_duration_seconds_count", "", static_cast<int64_t>(cumulative));

  Head(out, "unavailable_total", "counter", "Empty 503 replies, by reason.");
  for (std::size_t i = 0; i < kUnavailableReasons; ++i) {
    Sample(out, "unavailable_total", std::string("reason=\"") + kUnavailableNames[i] + "\"",
           static_cast<int64_t>(s.unavailable[i]));
  }
  One(out, "log_rows_written_total", "counter", "Fetch log rows the database kept.",
      static_cast<int64_t>(s.log_rows_written));
  One(out, "log_rows_dropped_total", "counter",
      "Fetch log rows lost: the queue was full or the database refused them.",
      static_cast<int64_t>(s.log_rows_dropped));
  One(out, "connections_refused_total", "counter",
      "Connections closed at accept: too many open.", static_cast<int64_t>(s.connections_refused));
  One(out, "connections_timed_out_total", "counter",
      "Connections closed because a deadline passed.", static_cast<int64_t>(s.connections_timed_out));
  One(out, "tls_handshake_failures_total", "counter", "TLS handshakes that failed.",
      static_cast<int64_t>(s.tls_handshake_failures));
  One(out, "tls_reloads_total", "counter", "Certificate and key reloads that took effect.",
      static_cast<int64_t>(s.tls_reloads));
  One(out, "tls_reload_failures_total", "counter", "Reloads that failed (the old key stays).",
      static_cast<int64_t>(s.tls_reload_failures));
  One(out, "open_connections", "gauge", "Fetch connections open now.", s.open_connections);
  One(out, "tls_handshakes_in_progress", "gauge", "Fetch connections in their TLS handshake now.",
      s.handshakes_in_progress);
  One(out, "tls_handshakes_waiting", "gauge",
      "Fetch connections whose ClientHello waits for a handshake slot (no TLS state yet).",
      s.handshakes_waiting);
  One(out, "tls_streams", "gauge", "Connections holding TLS state now (a silent one holds none).",
      s.tls_streams);
  One(out, "queue_depth", "gauge", "Fetches waiting for a database thread.", s.queue_depth);
  One(out, "log_queue_depth", "gauge", "Fetch log rows waiting for the writer.", s.log_queue_depth);
  One(out, "database_up", "gauge", "1 unless the last fetch asked of the database failed.", s.database_up ? 1 : 0);
  return out;
}

}  // namespace pbs
