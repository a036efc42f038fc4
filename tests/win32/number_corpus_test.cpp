// The number reader in the 32-bit build against texts whose nearest doubles
// were computed by an independent, correctly rounding reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "number_corpus.h"
#include "params/parse_double.h"
#include "tests/native/fpu_state.h"

// In the state a mingw program starts in (x87 at 64-bit precision) and in
// every other state a caller's thread may be in.
TEST(ParseDouble32, NearestDoubleForEveryCorpusTextInEveryFpuState) {
  for (const pbtest::FpuState& state : pbtest::kFpuStates) {
    pbtest::FpuStateScope scope(state);
    int wrong = 0;
    for (const NumberCorpusRow& row : kNumberCorpus) {
      const double got = pb::ParseDouble(row.text, -12345.0);
      std::uint64_t bits;
      std::memcpy(&bits, &got, sizeof bits);
      if (bits != row.bits && ++wrong <= 5) {
        ADD_FAILURE() << state.name << ": " << row.text << ": got bits " << std::hex << bits
                      << ", expected " << row.bits;
      }
    }
    EXPECT_EQ(wrong, 0) << state.name;
    EXPECT_TRUE(pbtest::ReadFpu() == scope.set()) << state.name << ": control words changed";
  }
}
