// DecodeReply on any body: no crash, and every stored name and value is
// non-empty and free of '=', '&' and NUL.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  pb::ResetStoreForTesting();
  pb::DecodeReply(std::string_view(reinterpret_cast<const char*>(data), size));
  pb::ForEachParameterForTesting(Check);
  return 0;
}
