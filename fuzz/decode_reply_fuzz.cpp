// DecodeReply on any body: no crash, every stored name and value is
// non-empty and free of '=', '&' and NUL, and Base64Decode agrees with a
// plain bit-accumulating decoder.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "params/reply_codec.h"
#include "params/store.h"

namespace {

void Check(const std::string& name, const std::string& value) {
  for (const std::string* s : {&name, &value}) {
    if (s->empty() || s->find_first_of(std::string_view("=&\0", 3)) != std::string::npos) {
      std::abort();
    }
  }
}

// Six bits in per alphabet character, a byte out whenever eight are held.
std::string ReferenceDecode(std::string_view in) {
  static const std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : in) {
    const std::size_t v = kAlphabet.find(c);
    if (v == std::string_view::npos) break;
    bits = (bits << 6) | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> g_entries;

void Collect(const std::string& name, const std::string& value) { g_entries.emplace_back(name, value); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  if (pb::Base64Decode(body) != ReferenceDecode(body)) std::abort();
  // DecodeReply decodes in the reply's own buffer: the store it leaves must
  // be the one that the separate decode and split leave.
  pb::ResetStoreForTesting();
  pb::SplitPairs(pb::Base64Decode(body), "=&");
  g_entries.clear();
  pb::ForEachParameterForTesting(Collect);
  const std::vector<std::pair<std::string, std::string>> expected = g_entries;
  pb::ResetStoreForTesting();
  pb::DecodeReply(std::string(body));
  pb::ForEachParameterForTesting(Check);
  g_entries.clear();
  pb::ForEachParameterForTesting(Collect);
  if (g_entries != expected) std::abort();
  return 0;
}
