// The metrics' Prometheus text, the latency buckets, the network layer's own
// reply bodies and the ready file's text: tables.
#include <gtest/gtest.h>

#include <openssl/evp.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "server/net/canned_replies.h"
#include "server/net/metrics.h"
#include "server/net/ready_file.h"

namespace pbs {
namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool HasLine(const std::string& text, const std::string& line) {
  for (const std::string& l : Lines(text)) {
    if (l == line) return true;
  }
  return false;
}

struct TextCase {
  const char* name;
  MetricsSnapshot snapshot;
  std::vector<const char*> lines;  // each must be a whole line of the text
};

MetricsSnapshot Busy() {
  MetricsSnapshot s;
  s.fetches[0] = 7;                       // 100
  s.fetches[1] = 2;                       // 201
  s.fetches[9] = 5;                       // 503
  s.fetches[kCountedStatuses.size()] = 1;  // other
  s.latency_buckets = {1, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 4};
  s.latency_sum_micros = 1234567;
  s.unavailable = {3, 1, 0, 1, 0};
  s.log_rows_written = 15;
  s.log_rows_dropped = 4;
  s.connections_refused = 6;
  s.connections_timed_out = 8;
  s.tls_handshake_failures = 9;
  s.tls_reloads = 1;
  s.tls_reload_failures = 2;
  s.open_connections = 11;
  s.queue_depth = 12;
  s.log_queue_depth = 13;
  s.database_up = false;
  s.handshakes_waiting = 14;
  s.handshakes_in_progress = 15;
  s.tls_streams = 16;
  return s;
}

const TextCase kTexts[] = {
    {"nothing yet", MetricsSnapshot{},
     {"parambridge_fetches_total{status=\"100\"} 0", "parambridge_fetches_total{status=\"other\"} 0",
      "parambridge_fetch_duration_seconds_bucket{le=\"+Inf\"} 0",
      "parambridge_fetch_duration_seconds_sum 0", "parambridge_fetch_duration_seconds_count 0",
      "parambridge_log_rows_dropped_total 0", "parambridge_database_up 1",
      "parambridge_tls_handshakes_waiting 0", "parambridge_tls_streams 0"}},
    {"busy", Busy(),
     {"parambridge_fetches_total{status=\"100\"} 7", "parambridge_fetches_total{status=\"201\"} 2",
      "parambridge_fetches_total{status=\"202\"} 0", "parambridge_fetches_total{status=\"503\"} 5",
      "parambridge_fetches_total{status=\"other\"} 1",
      // Buckets are cumulative; bounds in seconds, exactly.
      "parambridge_fetch_duration_seconds_bucket{le=\"0.001\"} 1",
      "parambridge_fetch_duration_seconds_bucket{le=\"0.0025\"} 1",
      "parambridge_fetch_duration_seconds_bucket{le=\"0.005\"} 3",
      "parambridge_fetch_duration_seconds_bucket{le=\"5\"} 3",
      "parambridge_fetch_duration_seconds_bucket{le=\"10\"} 6",
      "parambridge_fetch_duration_seconds_bucket{le=\"+Inf\"} 10",
      "parambridge_fetch_duration_seconds_sum 1.234567",
      "parambridge_fetch_duration_seconds_count 10",
      "parambridge_unavailable_total{reason=\"rate_limit\"} 3",
      "parambridge_unavailable_total{reason=\"queue_full\"} 1",
      "parambridge_unavailable_total{reason=\"queue_wait\"} 0",
      "parambridge_unavailable_total{reason=\"database\"} 1",
      "parambridge_unavailable_total{reason=\"stopping\"} 0",
      "parambridge_log_rows_written_total 15", "parambridge_log_rows_dropped_total 4",
      "parambridge_connections_refused_total 6", "parambridge_connections_timed_out_total 8",
      "parambridge_tls_handshake_failures_total 9", "parambridge_tls_reloads_total 1",
      "parambridge_tls_reload_failures_total 2", "parambridge_open_connections 11",
      "parambridge_queue_depth 12", "parambridge_log_queue_depth 13",
      "parambridge_database_up 0", "parambridge_tls_handshakes_waiting 14",
      "parambridge_tls_handshakes_in_progress 15", "parambridge_tls_streams 16"}},
};

TEST(MetricsText, Table) {
  for (const TextCase& c : kTexts) {
    const std::string text = FormatMetrics(c.snapshot);
    for (const char* line : c.lines) EXPECT_TRUE(HasLine(text, line)) << c.name << ": " << line;
  }
}

bool IsName(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!((c >= 'a' && c <= 'z') || c == '_')) return false;
  }
  return true;
}

bool IsNumber(const std::string& text) {
  const std::size_t dot = text.find('.');
  auto digits = [](const std::string& d) {
    return !d.empty() && d.find_first_not_of("0123456789") == std::string::npos;
  };
  if (dot == std::string::npos) return digits(text);
  return digits(text.substr(0, dot)) && digits(text.substr(dot + 1));
}

// "name value" or "name{label=\"value\"} value": the name, or empty.
std::string SampleName(const std::string& line) {
  const std::size_t space = line.rfind(' ');
  if (space == std::string::npos || !IsNumber(line.substr(space + 1))) return {};
  std::string head = line.substr(0, space);
  const std::size_t brace = head.find('{');
  if (brace != std::string::npos) {
    const std::string labels = head.substr(brace);
    const std::size_t eq = labels.find("=\"");
    if (labels.back() != '}' || eq == std::string::npos || !IsName(labels.substr(1, eq - 1)) ||
        labels.size() < eq + 4 || labels[labels.size() - 2] != '"' ||
        labels.substr(eq + 2, labels.size() - eq - 4).find('"') != std::string::npos) {
      return {};
    }
    head.resize(brace);
  }
  return IsName(head) ? head : std::string();
}

// Every line is a comment or a sample, every sample's family was declared
// (HELP, then TYPE) before it, once, and the text ends in a newline.
TEST(MetricsText, WellFormed) {
  for (const TextCase& c : kTexts) {
    const std::string text = FormatMetrics(c.snapshot);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::set<std::string> declared, helped;
    for (const std::string& line : Lines(text)) {
      std::istringstream words(line);
      std::string hash, kind, name, rest;
      words >> hash >> kind >> name;
      std::getline(words, rest);
      if (hash == "#" && kind == "HELP") {
        EXPECT_TRUE(IsName(name) && rest.size() > 1) << line;
        EXPECT_TRUE(helped.insert(name).second) << "HELP twice: " << line;
      } else if (hash == "#" && kind == "TYPE") {
        EXPECT_TRUE(rest == " counter" || rest == " gauge" || rest == " histogram") << line;
        EXPECT_TRUE(declared.insert(name).second) << "TYPE twice: " << line;
        EXPECT_TRUE(helped.count(name)) << "TYPE before HELP: " << line;
      } else {
        std::string family = SampleName(line);
        ASSERT_FALSE(family.empty()) << c.name << ": not a metrics line: " << line;
        for (const std::string suffix : {"_bucket", "_sum", "_count"}) {
          if (!declared.count(family) && family.size() > suffix.size() &&
              family.compare(family.size() - suffix.size(), suffix.size(), suffix) == 0) {
            family.resize(family.size() - suffix.size());
          }
        }
        EXPECT_TRUE(declared.count(family)) << c.name << ": undeclared " << line;
      }
    }
  }
}

struct BucketCase {
  int status;
  uint64_t micros;
  std::size_t status_slot;
  std::size_t bucket;
};

const BucketCase kBuckets[] = {
    {100, 0, 0, 0},
    {100, 1000, 0, 0},        // a bound belongs to its own bucket
    {201, 1001, 1, 1},
    {205, 2500, 5, 1},
    {503, 10000000, 9, 12},
    {503, 10000001, 9, 13},   // +Inf
    {0, 5, 10, 0},            // not a counted status: "other"
    {999, 5, 10, 0},
    {-1, 5, 10, 0},
};

TEST(Metrics, CountFetchTable) {
  for (const BucketCase& c : kBuckets) {
    Metrics metrics;
    metrics.CountFetch(c.status, c.micros);
    const MetricsSnapshot s = metrics.Snapshot();
    for (std::size_t i = 0; i < s.fetches.size(); ++i) {
      EXPECT_EQ(s.fetches[i], i == c.status_slot ? 1u : 0u) << c.status << " slot " << i;
    }
    for (std::size_t i = 0; i < s.latency_buckets.size(); ++i) {
      EXPECT_EQ(s.latency_buckets[i], i == c.bucket ? 1u : 0u) << c.micros << " bucket " << i;
    }
    EXPECT_EQ(s.latency_sum_micros, c.micros);
  }
}

std::string Decode(const std::string& base64) {
  std::string out(base64.size(), '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(base64.data()),
                                static_cast<int>(base64.size()));
  if (n < 0) return "<not Base64>";
  // EVP_DecodeBlock counts each '=' of the padding as a zero byte.
  std::size_t padding = 0;
  for (auto c = base64.rbegin(); c != base64.rend() && *c == '='; ++c) ++padding;
  out.resize(static_cast<std::size_t>(n) - padding);
  return out;
}

struct CannedCase {
  const std::string& body;
  const char* decoded;
};

TEST(CannedReplies, BodiesAreTheReplyFormat) {
  const CannedCase cases[] = {
      {MalformedRequestBody(), "error=400&errorD=Malformed request"},
      {RequestTooLargeBody(), "error=400&errorD=Request too large"},
  };
  for (const CannedCase& c : cases) {
    const std::size_t data = c.body.find_first_not_of(
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    EXPECT_EQ(c.body.substr(data == std::string::npos ? c.body.size() : data),
              std::string(c.body.size() % 4 == 0 ? (c.body.size() - std::min(data, c.body.size())) : 0, '='))
        << "one line of Base64, then only padding: " << c.body;
    EXPECT_EQ(Decode(c.body), c.decoded);
  }
}

struct Base64Case {
  const char* bytes;
  const char* encoded;
};

TEST(CannedReplies, Base64Table) {
  const Base64Case cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"error=100", "ZXJyb3I9MTAw"},
  };
  for (const Base64Case& c : cases) EXPECT_EQ(Base64(c.bytes), c.encoded) << c.bytes;
}

struct ReadyCase {
  const char* name;
  ReadyInfo info;
  const char* text;
};

TEST(ReadyFile, FormatTable) {
  namespace ip = boost::asio::ip;
  using ip::tcp;
  const ReadyCase cases[] = {
      {"http only", {12, tcp::endpoint(ip::make_address("127.0.0.1"), 8080), {}, {}, "", {}},
       "pid=12\nhttp=127.0.0.1:8080\n"},
      {"everything",
       {7, tcp::endpoint(ip::make_address("::1"), 80), tcp::endpoint(ip::make_address("::1"), 443),
        tcp::endpoint(ip::make_address("127.0.0.1"), 9181), "sha256//abc=", {}},
       "pid=7\nhttp=[::1]:80\nhttps=[::1]:443\nmetrics=127.0.0.1:9181\npin=sha256//abc=\n"},
      {"the admin listener",
       {8, std::nullopt, std::nullopt, std::nullopt, "", tcp::endpoint(ip::make_address("127.0.0.1"), 9180)},
       "pid=8\nadmin=127.0.0.1:9180\n"},
  };
  for (const ReadyCase& c : cases) EXPECT_EQ(FormatReady(c.info), c.text) << c.name;
}

}  // namespace
}  // namespace pbs
