// Small pure helpers of the load generator: where a terminal connects from,
// the percentiles of fetch times, and the memory lines of /proc/PID/status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pbbench {

// The `index`th source address of a range starting at `first` (host byte
// order, in 127.0.0.0/8), skipping addresses whose last byte is 0 or 255.
// nullopt when it would leave 127.0.0.0/8.
std::optional<uint32_t> SourceAddress(uint32_t first, uint64_t index);

// "127.a.b.c" -> host-order address; nullopt unless it is a dotted IPv4
// address inside 127.0.0.0/8.
std::optional<uint32_t> ParseLoopback(std::string_view text);

// The nearest-rank percentile (0 < p <= 100) of `sorted` (ascending); 0 for
// an empty list.
uint32_t Percentile(const std::vector<uint32_t>& sorted, double p);

struct ProcMemory {
  uint64_t rss_kib = 0;  // VmRSS
  uint64_t hwm_kib = 0;  // VmHWM, the peak resident set
};

// The VmRSS and VmHWM lines of a /proc/PID/status text; nullopt when
// either is missing (a process that has exited, a kernel thread).
std::optional<ProcMemory> ParseProcStatus(std::string_view status);

// The sum over `pids` of their current /proc status (processes that are gone
// count 0).
ProcMemory ReadProcMemory(const std::vector<int>& pids);

}  // namespace pbbench
