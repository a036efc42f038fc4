// pb-loadgen: terminals fetching from a product server over https, for
// bench/server/run_bench.py. One run per call; one JSON object on stdout.
//
//   pb-loadgen load  --port P --expect-body B64 [common] --terminals N --fetches K
//   pb-loadgen burst --port P --expect-body B64 [common] --terminals N --window-ms W
//              [--retry-after-ms R] [--max-tries T] [--idle M] [--idle-source A]
//              [--idle-per-address C] [--memory-pid PID]...
// common: --host 127.0.0.1 --path /parambridge/run/ --form 'account=12345&accountType=0'
//         --expect-status 200 --source 127.16.0.1 --sources 500 --deadline-ms 30000
// Exit status 0 with the JSON (wrong answers are counted, not failures); 2 on
// a bad command line.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>

#include "bench/server/load_modes.h"

namespace {
using namespace pbbench;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Args {
  std::string mode;
  std::map<std::string, std::string> values;
  std::vector<int> memory_pids;

  std::string Text(const std::string& name, const std::string& fallback) const {
    auto it = values.find(name);
    return it == values.end() ? fallback : it->second;
  }
  uint64_t Count(const std::string& name, uint64_t fallback, uint64_t most) const {
    auto it = values.find(name);
    if (it == values.end()) return fallback;
    char* end = nullptr;
    unsigned long long n = std::strtoull(it->second.c_str(), &end, 10);
    if (it->second.empty() || *end || n > most)
      throw UsageError("--" + name + " takes a whole number up to " + std::to_string(most));
    return n;
  }
  uint32_t Loopback(const std::string& name, const std::string& fallback) const {
    auto a = ParseLoopback(Text(name, fallback));
    if (!a) throw UsageError("--" + name + " takes an address in 127.0.0.0/8");
    return *a;
  }
};

Args Parse(int argc, char** argv) {
  if (argc < 2) throw UsageError("a mode: load or burst");
  Args a;
  a.mode = argv[1];
  if (a.mode != "load" && a.mode != "burst") throw UsageError("the mode is load or burst");
  for (int i = 2; i < argc; ++i) {
    std::string name = argv[i];
    if (name.rfind("--", 0) != 0 || i + 1 >= argc) throw UsageError("expected --name value at " + name);
    name = name.substr(2);
    if (name == "memory-pid") {
      char* end = nullptr;
      long pid = std::strtol(argv[++i], &end, 10);
      if (!*argv[i] || *end || pid <= 0 || pid > 0x3fffffff) throw UsageError("--memory-pid takes a process id");
      a.memory_pids.push_back(static_cast<int>(pid));
    } else {
      a.values[name] = argv[++i];
    }
  }
  return a;
}

// As many descriptors as the hard limit allows: each terminal and each
// silent connection holds one.
void RaiseFileLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

double Ms(uint32_t micros) { return micros / 1000.0; }

std::string Quote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c > 0x7e) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

void PrintTally(std::ostream& out, const Tally& t) {
  const auto& m = t.served_micros;
  out << "\"attempts\":" << t.attempts << ",\"served\":" << t.served << ",\"unavailable\":" << t.unavailable
      << ",\"wrong\":" << t.wrong << ",\"no_answer\":" << t.no_answer << ",\"resumed\":" << t.resumed
      << ",\"p50_ms\":" << Ms(Percentile(m, 50)) << ",\"p99_ms\":" << Ms(Percentile(m, 99))
      << ",\"max_ms\":" << Ms(m.empty() ? 0 : m.back()) << ",\"first_wrong\":" << Quote(t.first_wrong);
}

double ClientCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Main(const Args& a) {
  FetchTarget target;
  auto host = a.Loopback("host", "127.0.0.1");
  target.server = boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4(host),
                                                 static_cast<uint16_t>(a.Count("port", 443, 65535)));
  target.request = FetchRequest(a.Text("host", "127.0.0.1"), a.Text("path", "/parambridge/run/"),
                                a.Text("form", "account=12345&accountType=0"));
  target.expected.status = static_cast<int>(a.Count("expect-status", 200, 999));
  target.expected.body = a.Text("expect-body", "");
  target.deadline = std::chrono::milliseconds(a.Count("deadline-ms", 30000, 600000));
  SourceRange sources{a.Loopback("source", "127.16.0.1"), a.Count("sources", 500, 1000000)};
  uint64_t terminals = a.Count("terminals", 100, 100000);
  RaiseFileLimit();
  std::ostringstream out;
  out.precision(6);
  if (a.mode == "load") {
    uint64_t each = a.Count("fetches", 10, 100000);
    LoadRun run = RunLoad(target, sources, terminals, each);
    out << "{\"mode\":\"load\",\"terminals\":" << terminals << ",\"fetches_each\":" << each
        << ",\"seconds\":" << run.seconds << ",\"per_second\":" << (run.seconds > 0 ? run.tally.served / run.seconds : 0)
        << ",";
    PrintTally(out, run.tally);
  } else {
    BurstOptions o;
    o.terminals = terminals;
    o.window = std::chrono::milliseconds(a.Count("window-ms", 10000, 600000));
    o.retry_after = std::chrono::milliseconds(a.Count("retry-after-ms", 5000, 600000));
    o.max_tries = static_cast<unsigned>(a.Count("max-tries", 6, 100));
    if (o.max_tries == 0) throw UsageError("--max-tries is at least 1");
    o.sources = sources;
    o.idle = a.Count("idle", 0, 100000);
    o.idle_first = a.Loopback("idle-source", "127.64.0.1");
    o.idle_per_address = a.Count("idle-per-address", 50, 1000);
    if (o.idle_per_address == 0) throw UsageError("--idle-per-address is at least 1");
    o.memory_pids = a.memory_pids;
    BurstRun run = RunBurst(target, o);
    out << "{\"mode\":\"burst\",\"terminals\":" << terminals << ",\"window_ms\":" << o.window.count()
        << ",\"max_tries\":" << o.max_tries << ",\"last_served_s\":" << run.last_served_s
        << ",\"served_terminals\":" << run.served_terminals << ",\"unserved_terminals\":" << run.unserved_terminals
        << ",\"wrong_terminals\":" << run.wrong_terminals << ",\"idle_requested\":" << o.idle
        << ",\"idle_connected\":" << run.idle_connected << ",\"idle_open_at_sample\":" << run.idle_open_at_sample
        << ",\"idle_closed_by_server\":" << run.idle_closed_by_server
        << ",\"idle_rss_kib\":" << run.idle_memory.rss_kib << ",\"idle_hwm_kib\":" << run.idle_memory.hwm_kib
        << ",\"idle_before_burst_rss_kib\":" << run.idle_before_burst.rss_kib
        << ",\"burst_peak_rss_kib\":" << run.burst_peak_rss_kib << ",\"hwm_kib_at_end\":" << run.hwm_kib_at_end
        << ",\"samples\":" << run.samples << ",";
    PrintTally(out, run.tally);
  }
  out << ",\"client_cpu_s\":" << ClientCpuSeconds() << "}";
  std::cout << out.str() << std::endl;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(Parse(argc, argv));
  } catch (const UsageError& e) {
    std::cerr << "pb-loadgen: " << e.what() << "\n";
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "pb-loadgen: " << e.what() << "\n";
    return 1;
  }
}
