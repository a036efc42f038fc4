// ParseDouble against formatted stream input in the classic locale, on many
// generated texts: wherever the stream reads a normal number, both give the
// same bits, and where the stream fails, so does ParseDouble.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <locale>
#include <random>
#include <sstream>
#include <string>

#include "params/parse_double.h"
#include "tests/native/number_texts.h"

namespace {

TEST(ParseDoubleDifferential, AgreesWithClassicStreamRead) {
  std::mt19937_64 rng(20261208);
  int compared = 0;
  for (int i = 0; i < 200000; ++i) {
    const std::string text = pbtest::RandomNumberText(rng);
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double streamed = 0.0;
    in >> streamed;
    const double sentinel = 777.125;
    const double ours = pb::ParseDouble(text, sentinel);
    if (in.fail()) {
      // The stream also fails on out-of-range values; ParseDouble must fail
      // there too, except for subnormals, which it accepts.
      if (ours != sentinel) {
        ASSERT_TRUE(ours == 0.0 || std::fpclassify(ours) == FP_SUBNORMAL)
            << "stream failed but ParseDouble read " << ours << " from \"" << text << "\"";
      }
      continue;
    }
    if (!std::isnormal(streamed)) continue;
    ++compared;
    ASSERT_EQ(std::memcmp(&ours, &streamed, sizeof ours), 0)
        << "text \"" << text << "\": ours " << ours << ", stream " << streamed;
  }
  EXPECT_GT(compared, 100000);
}

}  // namespace
