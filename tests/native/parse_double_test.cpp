#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "params/parse_double.h"
#include "tests/native/fpu_state.h"

namespace {

constexpr double d = 42.25;  // the caller's default; no row reads as it

struct Row {
  const char* text;
  double expected;
};

// The reading rules, with the default standing for a failed read.
const Row kRows[] = {
    {"2", 2.0},
    {" 2", 2.0},
    {"\t\r\n\v\f 2", 2.0},
    {"2 ", 2.0},
    {"1.5abc", 1.5},
    {"1e3", 1000.0},
    {"1E+3", 1000.0},
    {"2.5e-1", 0.25},
    {"1e", d},
    {"1e+", d},
    {"1ex", d},
    {"1e-", d},
    {"1e5e", 100000.0},  // a complete exponent, then where reading stops
    {"1.5E2E+3", 150.0},
    {"2e+5x", 200000.0},
    {".5", 0.5},
    {"-.5", -0.5},
    {"+.5", 0.5},
    {"5.", 5.0},
    {"5.e2", 500.0},
    {".e2", d},
    {"007", 7.0},
    {"1,5", 1.0},
    {"0x10", 0.0},
    {"nan", d},
    {"inf", d},
    {"-inf", d},
    {"", d},
    {" \t\n", d},
    {".", d},
    {"+", d},
    {"-", d},
    {"- 2", d},
    {"+-2", d},
    {"1e400", d},
    {"-1e400", d},
    {"1e-400", d},
    {"0e-400", 0.0},
    {"0.000e999999", 0.0},
    {"\xA0" "2", d},  // no-break space is not white space
    {"1.7976931348623157e308", 1.7976931348623157e308},
    {"1.7976931348623159e308", d},  // rounds past the largest finite value
    {"4.9406564584124654e-324", 4.9406564584124654e-324},
    {"2.2250738585072011e-308", 2.2250738585072011e-308},
    {"2e-324", d},  // below half the smallest subnormal: rounds to zero
    {"3e-324", 4.9406564584124654e-324},
    {"0.00025", 0.00025},
    {"12345.678", 12345.678},
    {"1.00000000000000011102230246251565404236316680908203125", 1.0},  // exact halfway, to even
    {"1.00000000000000011102230246251565404236316680908203126", 1.0000000000000002},
    {"9007199254740993", 9007199254740992.0},
    {"0.1", 0.1},
    {"1e23", 1e23},
    {"8.98846567431158e307", 8.98846567431158e307},
    // An integer times a power of ten whose product needs rounding: a reader
    // that multiplies in the x87 unit at 64-bit precision rounds twice.
    {"1.000001275e31", 1.000001275e31},
    {"1120715549557915e14", 1120715549557915e14},
    {"9007199254740993e22", 9007199254740993e22},
};

TEST(ParseDouble, ReadsByTheStreamRules) {
  for (const Row& row : kRows) {
    const double got = pb::ParseDouble(row.text, d);
    EXPECT_EQ(std::memcmp(&got, &row.expected, sizeof got), 0)
        << "text \"" << row.text << "\": got " << got << ", expected " << row.expected;
  }
}

// The same rows in every floating-point state a caller's thread may be in;
// the reader leaves both control words as it found them.
TEST(ParseDouble, SameInEveryFpuState) {
  for (const pbtest::FpuState& state : pbtest::kFpuStates) {
    pbtest::FpuStateScope scope(state);
    for (const Row& row : kRows) {
      const double got = pb::ParseDouble(row.text, d);
      const bool same = std::memcmp(&got, &row.expected, sizeof got) == 0;
      const bool untouched = pbtest::ReadFpu() == scope.set();
      if (!same || !untouched) {
        ADD_FAILURE() << state.name << ": text \"" << row.text << "\""
                      << (same ? "" : " read wrong") << (untouched ? "" : ", control words changed");
      }
    }
  }
}

TEST(ParseDouble, SignOfZeroIsKept) {
  const double negativeZero = pb::ParseDouble("-0", d);
  EXPECT_EQ(negativeZero, 0.0);
  EXPECT_TRUE(std::signbit(negativeZero));
  EXPECT_TRUE(std::signbit(pb::ParseDouble("-0.0e-999", d)));
  EXPECT_FALSE(std::signbit(pb::ParseDouble("+0", d)));
}

TEST(ParseDouble, StopsAtEmbeddedNul) {
  const char text[] = "1.5\0" "9";
  EXPECT_EQ(pb::ParseDouble(std::string_view(text, sizeof text - 1), d), 1.5);
}

TEST(ParseDouble, ManyDigitsStillRoundCorrectly) {
  // 800 digits of 0.1's expansion and beyond, then a tail that tips nothing.
  std::string longText = "0." + std::string(400, '0') + "1";
  EXPECT_EQ(pb::ParseDouble(longText, d), d);  // 1e-401 underflows
  longText = "1" + std::string(300, '0') + ".5";
  EXPECT_EQ(pb::ParseDouble(longText, d), 1e300);
}

}  // namespace
