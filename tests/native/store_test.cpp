#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "params/store.h"

namespace {

class Store : public ::testing::Test {
 protected:
  void SetUp() override { pb::ResetStoreForTesting(); }
};

TEST_F(Store, NamesMatchByteForByte) {
  pb::SetParameter("func101", "5");
  EXPECT_EQ(pb::GetParameter("Func101", 9.0), 9.0);
  EXPECT_EQ(pb::GetParameter("func101 ", 9.0), 9.0);
  EXPECT_EQ(pb::GetParameter("func101", 9.0), 5.0);
  EXPECT_EQ(pb::GetParameterText("func10"), "");
}

TEST_F(Store, LaterWriteReplacesValue) {
  pb::SetParameter("a", "1");
  pb::SetParameter("a", "2");
  EXPECT_EQ(pb::GetParameterText("a"), "2");
}

TEST_F(Store, ReadingAnAbsentNameAddsNothing) {
  EXPECT_EQ(pb::GetParameter("ghost", 3.0), 3.0);
  EXPECT_EQ(pb::GetParameterText("ghost"), "");
  pb::SetParameter("ghost", "x");  // now present, and not a number
  EXPECT_EQ(pb::GetParameter("ghost", 3.0), 3.0);
  EXPECT_EQ(pb::GetParameterText("ghost"), "x");
}

TEST_F(Store, EmptyValueReadsAsDefaultAndEmptyText) {
  pb::SetParameter("e", "");
  EXPECT_EQ(pb::GetParameter("e", 4.0), 4.0);
  EXPECT_EQ(pb::GetParameterText("e"), "");
}

TEST_F(Store, BytesAreKeptWhole) {
  const std::string name("n\0\xff", 3), value("v\0\x80", 3);
  pb::SetParameter(name, value);
  EXPECT_EQ(pb::GetParameterText(name), value);
  EXPECT_EQ(pb::GetParameterText("n"), "");
}

struct GetterRow {
  const char* stored;  // nullptr: no entry
  double expected;
};

TEST_F(Store, FixedGettersAnswerOnlyOnceLoaded) {
  pb::SetParameter("func101", "5");
  EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc101), -1.0);
  pb::SetLoaded();
  EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc101), 5.0);

  const GetterRow rows[] = {{nullptr, -1.0}, {"abc", -1.0}, {" 3.5x", 3.5}, {"-1", -1.0}, {"0", 0.0}};
  for (const GetterRow& row : rows) {
    pb::ResetStoreForTesting();
    if (row.stored) pb::SetParameter("func102", row.stored);
    pb::SetParameter("func101", "11");
    pb::SetParameter("func103", "13");
    pb::SetLoaded();
    EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc102), row.expected) << (row.stored ? row.stored : "(absent)");
    EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc101), 11.0);
    EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc103), 13.0);
  }
}

// A reader that runs while the writer publishes batch after batch sees each
// batch whole (a == b), and every replaced snapshot it may have held stays
// valid until it is done (ASan, TSan).
TEST_F(Store, ReadersSeeWholeBatchesWhileSnapshotsAreReplaced) {
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string a = pb::GetParameterText("a"), b = pb::GetParameterText("b");
      // b is read after a, so it is never older than a
      if (!a.empty() && (b.empty() || std::stoi(b) < std::stoi(a))) ++torn;
      pb::ForEachParameterForTesting([](const std::string&, const std::string&) {});
    }
  });
  for (int k = 1; k <= 2000; ++k) {
    pb::WriteBatch batch;
    pb::SetParameter("a", std::to_string(k));
    pb::SetParameter("b", std::to_string(k));
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_EQ(pb::GetParameterText("b"), "2000");
}

// Inside a batch nothing is visible, the writer's own reads included, until
// the outermost batch ends.
TEST_F(Store, BatchIsPublishedWhenTheOutermostEnds) {
  pb::SetParameter("a", "1");
  {
    pb::WriteBatch outer;
    {
      pb::WriteBatch inner;
      pb::SetParameter("a", "2");
      pb::SetParameter("b", "3");
    }
    EXPECT_EQ(pb::GetParameterText("a"), "1");
    EXPECT_EQ(pb::GetParameterText("b"), "");
  }
  EXPECT_EQ(pb::GetParameterText("a"), "2");
  EXPECT_EQ(pb::GetParameterText("b"), "3");
}

}  // namespace
