// The load generator's runs, each on one io_context thread:
//   RunLoad: N terminals at once, each making K fetches one after the other;
//   RunBurst: terminals arriving evenly over a window, each retrying after
//     an empty 503 or no answer, with a set of silent connections held open
//     meanwhile and the server's memory sampled while they are.
// Terminal t connects from sources.first's (t mod sources.count)th address,
// so that no address holds more than a server's per-address cap.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/server/figures.h"
#include "bench/server/terminal_fetch.h"

namespace pbbench {

struct SourceRange {
  uint32_t first = 0;   // host order, 127.x.y.z
  uint64_t count = 1;   // addresses used (see SourceAddress)
};

// Every fetch's outcome, and the times of those served.
struct Tally {
  uint64_t attempts = 0, served = 0, unavailable = 0, wrong = 0, no_answer = 0, resumed = 0;
  std::vector<uint32_t> served_micros;  // sorted once the run ends
  std::string first_wrong;              // the first wrong reply's start, for the report

  void Add(const FetchResult& r);
};

struct LoadRun {
  Tally tally;
  double seconds = 0;  // first connect to the last reply
};

LoadRun RunLoad(const FetchTarget& target, SourceRange sources, uint64_t terminals,
                uint64_t fetches_each);

struct BurstOptions {
  uint64_t terminals = 10000;
  std::chrono::milliseconds window{10000};       // arrivals spread evenly over it
  std::chrono::milliseconds retry_after{5000};   // after an empty 503 or no answer
  unsigned max_tries = 6;                        // per terminal; then it is unserved
  SourceRange sources;
  uint64_t idle = 0;                             // silent connections held during the burst
  uint32_t idle_first = 0;                       // their source addresses' start
  uint64_t idle_per_address = 50;
  std::vector<int> memory_pids;                  // the server's processes, summed
  std::chrono::milliseconds sample_every{200};
};

struct BurstRun {
  Tally tally;
  double last_served_s = 0;          // from the first arrival to the last served reply
  uint64_t served_terminals = 0, unserved_terminals = 0, wrong_terminals = 0;
  uint64_t idle_connected = 0;       // silent connections that were accepted
  uint64_t idle_open_at_sample = 0;  // still open when the memory below was read
  uint64_t idle_closed_by_server = 0;
  ProcMemory idle_memory;            // sampled with the most silent connections open
  ProcMemory idle_before_burst;      // with them open, just before the first arrival
  uint64_t burst_peak_rss_kib = 0;   // the highest VmRSS sampled during the burst
  uint64_t hwm_kib_at_end = 0;
  unsigned samples = 0;
};

BurstRun RunBurst(const FetchTarget& target, const BurstOptions& options);

}  // namespace pbbench
