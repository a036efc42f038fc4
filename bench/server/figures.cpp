#include "bench/server/figures.h"

#include <charconv>
#include <cmath>
#include <fstream>
#include <sstream>

namespace pbbench {

std::optional<uint32_t> SourceAddress(uint32_t first, uint64_t index) {
  // Each /24 gives 254 usable addresses (.1 to .254).
  uint64_t block = first >> 8, last = first & 0xff;
  if (last == 0) last = 1;
  if (last == 255) {
    ++block;
    last = 1;
  }
  uint64_t in_first = 255 - last;  // usable addresses left in the first block
  if (index >= in_first) {
    index -= in_first;
    block += 1 + index / 254;
    last = 1 + index % 254;
  } else {
    last += index;
  }
  uint64_t address = (block << 8) | last;
  if ((address >> 24) != 127) return std::nullopt;
  return static_cast<uint32_t>(address);
}

std::optional<uint32_t> ParseLoopback(std::string_view text) {
  uint32_t address = 0;
  for (int part = 0; part < 4; ++part) {
    unsigned value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end == text.data() || value > 255) return std::nullopt;
    address = (address << 8) | value;
    text.remove_prefix(end - text.data());
    if (part < 3) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
  }
  if (!text.empty() || (address >> 24) != 127) return std::nullopt;
  return address;
}

uint32_t Percentile(const std::vector<uint32_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
  std::size_t i = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return sorted[i < sorted.size() ? i : sorted.size() - 1];
}

std::optional<ProcMemory> ParseProcStatus(std::string_view status) {
  std::optional<uint64_t> rss, hwm;
  while (!status.empty()) {
    std::size_t eol = status.find('\n');
    std::string_view line = status.substr(0, eol);
    status = eol == std::string_view::npos ? std::string_view() : status.substr(eol + 1);
    std::optional<uint64_t>* target = line.rfind("VmRSS:", 0) == 0   ? &rss
                                      : line.rfind("VmHWM:", 0) == 0 ? &hwm
                                                                     : nullptr;
    if (!target) continue;
    std::string_view value = line.substr(6);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    uint64_t kib = 0;
    auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), kib);
    if (ec != std::errc() || std::string_view(end, value.data() + value.size() - end) != " kB")
      return std::nullopt;
    *target = kib;
  }
  if (!rss || !hwm) return std::nullopt;
  return ProcMemory{*rss, *hwm};
}

ProcMemory ReadProcMemory(const std::vector<int>& pids) {
  ProcMemory total;
  for (int pid : pids) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::stringstream text;
    text << in.rdbuf();
    if (auto m = ParseProcStatus(text.str())) {
      total.rss_kib += m->rss_kib;
      total.hwm_kib += m->hwm_kib;
    }
  }
  return total;
}

}  // namespace pbbench
