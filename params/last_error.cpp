#include "params/last_error.h"

#include <atomic>
#include <cstring>

namespace pb {
namespace {

constexpr std::size_t kWords = (kLastErrorTextMax + 7) / 8;

// Every field is atomic, so that a reader copying while the writer writes is
// a retry, never a data race; every access is sequentially consistent (no
// fences, which ThreadSanitizer cannot follow). seq is odd while the writer
// is inside.
std::atomic<std::uint32_t> g_seq{0};
std::atomic<std::uint32_t> g_length{0};
std::atomic<std::uint64_t> g_text[kWords] = {};

}  // namespace

void PublishErrorDescription(std::string_view description) {
  if (description.size() > kLastErrorTextMax) description = description.substr(0, kLastErrorTextMax);
  std::uint64_t words[kWords] = {};
  if (!description.empty()) std::memcpy(words, description.data(), description.size());
  g_seq.fetch_add(1);  // odd: readers retry
  g_length.store(static_cast<std::uint32_t>(description.size()));
  for (std::size_t i = 0; i < kWords; ++i) g_text[i].store(words[i]);
  g_seq.fetch_add(1);  // even: a whole record
}

std::string PublishedErrorDescription() {
  std::uint64_t words[kWords];
  std::uint32_t length = 0;
  for (;;) {
    const std::uint32_t before = g_seq.load();
    if (before & 1u) continue;
    length = g_length.load();
    for (std::size_t i = 0; i < kWords; ++i) words[i] = g_text[i].load();
    if (g_seq.load() == before) break;
  }
  if (length > kLastErrorTextMax) length = 0;
  return std::string(reinterpret_cast<const char*>(words), length);
}

}  // namespace pb
