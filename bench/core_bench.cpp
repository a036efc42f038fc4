// The portable core beside its baselines, measured in one run so that the
// ratios (printed by bench/report.py) survive a noisy machine.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstring>
#include <locale>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "params/parse_double.h"
#include "params/reply_codec.h"
#include "params/store.h"
#include "tests/native/base64_encode.h"

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

void FillStore() {
  pb::ResetStoreForTesting();
  for (int i = 0; i < 20; ++i) pb::SetParameter("param" + std::to_string(i), std::to_string(i));
  pb::SetParameter("func101", "1.5");
  pb::SetLoaded();
}

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

void BM_DecodeReply1MiB(benchmark::State& state) {
  const std::string reply = LargeReply();
  for (auto _ : state) {
    pb::DecodeReply(reply);
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

void BM_DecodeReplyTypical20Pairs(benchmark::State& state) {
  const std::string reply = TypicalReply();
  for (auto _ : state) {
    pb::DecodeReply(reply);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_DecodeReplyTypical20Pairs);

}  // namespace

BENCHMARK_MAIN();
