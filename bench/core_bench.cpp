// The portable core beside its baselines, measured in one run so that the
// ratios (printed by bench/report.py) survive a noisy machine.
#include <benchmark/benchmark.h>

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <locale>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "params/parse_double.h"
#include "params/reply_codec.h"
#include "params/store.h"
#include "tests/native/base64_encode.h"

// Heap accounting for the peak-memory benchmarks: every allocation of the
// process carries its size in a header; the counting (atomic, so not free)
// is on only while those benchmarks run.
namespace heap {
bool counting = false;
std::atomic<std::size_t> current{0}, peak{0};
constexpr std::size_t kHeader = alignof(std::max_align_t);

void* Allocate(std::size_t n) {
  auto* p = static_cast<char*>(std::malloc(n + kHeader));
  if (!p) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(p) = counting ? n : 0;
  if (!counting) return p + kHeader;
  const std::size_t now = current += n;
  for (std::size_t seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
  }
  return p + kHeader;
}

void Free(void* q) {
  if (!q) return;
  char* p = static_cast<char*>(q) - kHeader;
  if (const std::size_t n = *reinterpret_cast<std::size_t*>(p)) current -= n;
  std::free(p);
}
}  // namespace heap

void* operator new(std::size_t n) { return heap::Allocate(n); }
void* operator new[](std::size_t n) { return heap::Allocate(n); }
void operator delete(void* p) noexcept { heap::Free(p); }
void operator delete[](void* p) noexcept { heap::Free(p); }
void operator delete(void* p, std::size_t) noexcept { heap::Free(p); }
void operator delete[](void* p, std::size_t) noexcept { heap::Free(p); }

namespace {

const std::vector<std::string> kTexts = {"1.5", "0.00025", "12345.678", " 3.5x"};

void BM_ParseDouble(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& t : kTexts) benchmark::DoNotOptimize(pb::ParseDouble(t, -1.0));
  }
}
BENCHMARK(BM_ParseDouble);

// The bare conversion, on the texts without the white space and tail that
// from_chars does not take.
void BM_FromChars(benchmark::State& state) {
  const std::vector<std::string> bare = {"1.5", "0.00025", "12345.678", "3.5"};
  for (auto _ : state) {
    for (const std::string& t : bare) {
      double v;
      std::from_chars(t.data(), t.data() + t.size(), v);
      benchmark::DoNotOptimize(v);
    }
  }
}
BENCHMARK(BM_FromChars);

void BM_IstringstreamRead(benchmark::State& state) {
  for (auto _ : state) {
    for (const std::string& t : kTexts) {
      std::istringstream in(t);
      in.imbue(std::locale::classic());
      double v = -1.0;
      in >> v;
      benchmark::DoNotOptimize(v);
    }
  }
}
BENCHMARK(BM_IstringstreamRead);

// The store as a fetch has it when its reply arrives: emptied, with "test"
// set, not loaded. Each benchmark that writes the store starts from it,
// outside the timed region, so that none pays for what an earlier one left
// (a typical decode after the 1 MiB row would copy its 768 KB each time).
void StoreAsAFetchFindsIt() {
  pb::ResetStoreForTesting();
  pb::SetParameter("test", "2");
}

void FillStore() {
  pb::ResetStoreForTesting();
  for (int i = 0; i < 20; ++i) pb::SetParameter("param" + std::to_string(i), std::to_string(i));
  pb::SetParameter("func101", "1.5");
  pb::SetLoaded();
}

// func101 after a load is a read of a cached double.

void BM_Func101Path(benchmark::State& state) {
  FillStore();
  for (auto _ : state) benchmark::DoNotOptimize(pb::FixedGetter(pb::FixedName::kFunc101));
}
BENCHMARK(BM_Func101Path);

void BM_MapFind(benchmark::State& state) {
  std::map<std::string, std::string> map;
  for (int i = 0; i < 20; ++i) map["param" + std::to_string(i)] = std::to_string(i);
  map["func101"] = "1.5";
  const std::string key = "func101";
  for (auto _ : state) {
    auto it = map.find(key);
    benchmark::DoNotOptimize(it);
  }
}
BENCHMARK(BM_MapFind);

// A 1 MiB reply of 256 parameters with 3 KiB values each (a large set), and
// a typical reply of 20 short pairs.
std::string LargeReply() {
  std::string text;
  for (int i = 0; text.size() < 768 * 1024; ++i) {
    text +=
        "p" + std::to_string(i) + "=" + std::string(3000, static_cast<char>('a' + i % 26)) + "&";
  }
  return pbtest::Base64Encode(text).substr(0, 1 << 20);
}

std::string TypicalReply() {
  std::string text = "error=100&func101=1.5&func102=0.00025&func103=12345.678";
  for (int i = 0; i < 17; ++i)
    text += "&param" + std::to_string(i) + "=" + std::to_string(i * 0.25);
  return pbtest::Base64Encode(text);
}

// As the fetch does it: the reply is handed over, not copied, to the store
// a fetch starts from (not the one the last iteration filled).
void BM_DecodeReply1MiB(benchmark::State& state) {
  const std::string reply = LargeReply();
  for (auto _ : state) {
    state.PauseTiming();
    std::string handed = reply;
    StoreAsAFetchFindsIt();
    state.ResumeTiming();
    pb::DecodeReply(std::move(handed));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(reply.size()));
}
BENCHMARK(BM_DecodeReply1MiB);

void BM_Memcpy1MiB(benchmark::State& state) {
  const std::string src(1 << 20, 'x');
  std::string dst(1 << 20, '\0');
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), src.size());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(src.size()));
}
BENCHMARK(BM_Memcpy1MiB);

// From the store a fetch starts from. Each decode after the first finds the
// last one's 20 values (a store of 21 small entries copied, where a fetch
// copies one); a reset in each iteration is not timed instead, because
// pausing the timer around it costs more than the decode itself.
void BM_DecodeReplyTypical20Pairs(benchmark::State& state) {
  const std::string reply = TypicalReply();
  StoreAsAFetchFindsIt();
  for (auto _ : state) {
    pb::DecodeReply(reply);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DecodeReplyTypical20Pairs);

// What a fetch holds at its peak while it decodes a 64 MiB reply (1024
// pairs of 48 KiB values), beyond the reply itself: ideally only what the
// store keeps. Reported in MiB: peak over the reply, and the store's share.
void BM_DecodeReplyPeak64MiB(benchmark::State& state) {
  std::string text;
  for (int i = 0; text.size() < 48u << 20; ++i) {
    text += "p" + std::to_string(i) + "=" + std::string(48 << 10, static_cast<char>('a' + i % 26)) +
            "&";
  }
  const std::string encoded = pbtest::Base64Encode(text).substr(0, 64u << 20);
  text = std::string();
  double overReply = 0, kept = 0;
  heap::counting = true;
  for (auto _ : state) {
    StoreAsAFetchFindsIt();
    std::string reply = encoded;
    const std::size_t before = heap::current;  // the reply included
    heap::peak = before;
    pb::DecodeReply(std::move(reply));
    overReply = static_cast<double>(heap::peak - before) / (1 << 20);
    kept = static_cast<double>(heap::current - (before - encoded.capacity())) / (1 << 20);
  }
  heap::counting = false;
  state.counters["peak_over_reply_MiB"] = overReply;
  state.counters["store_MiB"] = kept;
  pb::ResetStoreForTesting();
}
BENCHMARK(BM_DecodeReplyPeak64MiB)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same allocation pattern with a reply whose first byte is outside the
// alphabet (an error page): nothing proportional to it is allocated.
void BM_DecodeReplyErrorPage64MiB(benchmark::State& state) {
  const std::string page = "<html>" + std::string(64u << 20, 'x');
  StoreAsAFetchFindsIt();
  double overReply = 0;
  heap::counting = true;
  for (auto _ : state) {
    std::string reply = page;
    const std::size_t before = heap::current;
    heap::peak = before;
    pb::DecodeReply(std::move(reply));
    overReply = static_cast<double>(heap::peak - before) / (1 << 20);
  }
  heap::counting = false;
  state.counters["peak_over_reply_MiB"] = overReply;
}
BENCHMARK(BM_DecodeReplyErrorPage64MiB)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
