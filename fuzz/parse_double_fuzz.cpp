// ParseDouble against formatted stream input in the classic locale: where
// the stream reads a normal number, both give the same bits; where the
// stream fails, ParseDouble fails too (or reads a subnormal or zero, which
// the stream refuses and ParseDouble accepts).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>

#include "params/parse_double.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const double sentinel = 777.125;
  const double ours = pb::ParseDouble(text, sentinel);

  // The stream stops at a NUL as ParseDouble's callers' texts would not
  // hold one; compare on the text before it.
  std::istringstream in(text.substr(0, text.find('\0')));
  in.imbue(std::locale::classic());
  double streamed = 0.0;
  in >> streamed;
  if (text.find('\0') != std::string::npos) return 0;
  if (in.fail()) {
    if (ours != sentinel && ours != 0.0 && std::fpclassify(ours) != FP_SUBNORMAL) std::abort();
    return 0;
  }
  if (std::isnormal(streamed) && std::memcmp(&ours, &streamed, sizeof ours) != 0) std::abort();
  return 0;
}
