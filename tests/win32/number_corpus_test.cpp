// The number reader in the 32-bit build against texts whose nearest doubles
// were computed by an independent, correctly rounding reader.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "number_corpus.h"
#include "params/parse_double.h"

TEST(ParseDouble32, NearestDoubleForEveryCorpusText) {
  int wrong = 0;
  for (const NumberCorpusRow& row : kNumberCorpus) {
    const double got = pb::ParseDouble(row.text, -12345.0);
    std::uint64_t bits;
    std::memcpy(&bits, &got, sizeof bits);
    if (bits != row.bits && ++wrong <= 10) {
      ADD_FAILURE() << row.text << ": got bits " << std::hex << bits << ", expected " << row.bits;
    }
  }
  EXPECT_EQ(wrong, 0);
}
