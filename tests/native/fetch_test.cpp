#include "params/fetch.h"

#include <gtest/gtest.h>

#include <climits>

#include "params/store.h"
#include "tests/native/base64_encode.h"
#include "tests/native/fake_transport.h"

namespace {

class Fetch : public ::testing::Test {
 protected:
  void SetUp() override {
    pb::ResetStoreForTesting();
    pb::ResetFetchForTesting();
    pbtest::Transport() = {};
  }
  static void Serve(const std::string& decoded) {
    pbtest::Transport().replies.push_back(pbtest::Base64Encode(decoded));
  }
};

struct StatusRow {
  const char* reply;  // decoded; nullptr for an empty body
  int result;
  int code;
  const char* description;
};

TEST_F(Fetch, StatusRules) {
  const StatusRow rows[] = {
      {"error=100&func101=1.5", 1, 1, "Internal dll error"},
      {"func101=1.5", 0, 2, "Internal dll error"},
      {nullptr, 0, 3, "Could not connect to server."},
      {"error=205&errorD=Service paused", 0, 205, "Service paused"},
      {"error=205", 0, 205, ""},
      {"error=3", 0, 3, "Could not connect to server."},
      {"error=50", 0, 50, "Internal dll error"},
      {"error=-1", 0, 2, "Internal dll error"},
      {"error=abc", 0, 2, "Internal dll error"},
      {"error=1e2", 1, 1, "Internal dll error"},
      {"error=100abc", 1, 1, "Internal dll error"},
      {"error=1.7", 0, 1, "Internal dll error"},
      {"error=0.5", 0, 0, "Internal dll error"},
      {"error=-0.5", 0, 0, "Internal dll error"},
      {"error=2.9", 0, 2, "Internal dll error"},
      {"error=-3.5", 0, -3, "Internal dll error"},
      {"error=1e10", 0, INT_MIN, "Internal dll error"},
      {"error=-1e10", 0, INT_MIN, "Internal dll error"},
      {"error=2147483647.5", 0, INT_MAX, ""},
      {"error=-2147483648.9", 0, INT_MIN, "Internal dll error"},
      {"error=-2147483649", 0, INT_MIN, "Internal dll error"},
  };
  for (const StatusRow& row : rows) {
    SetUp();
    if (row.reply) Serve(row.reply);
    EXPECT_EQ(pb::LoadParameters("12345", 0), row.result) << row.reply;
    EXPECT_EQ(pb::LastErrorCode(), row.code) << row.reply;
    EXPECT_EQ(pb::LastErrorDescription(), row.description) << row.reply;
    EXPECT_EQ(pb::IsLoaded(), row.result == 1) << row.reply;
  }
}

TEST_F(Fetch, RequestFieldsAndEndpoint) {
  EXPECT_EQ(pb::LoadParameters("12345", 0), 0);
  EXPECT_EQ(pb::LoadParameters("", -1), 0);
  EXPECT_EQ(pb::LoadParameters(nullptr, INT_MIN), 0);
  const auto& t = pbtest::Transport();
  ASSERT_EQ(t.bodies.size(), 3u);
  EXPECT_EQ(t.bodies[0], "account=12345&accountType=0");
  EXPECT_EQ(t.bodies[1], "account=&accountType=-1");
  EXPECT_EQ(t.bodies[2], "account=&accountType=-2147483648");
  EXPECT_EQ(t.urls[0], std::string(pb::ParameterEndpoint()));
  EXPECT_EQ(t.urls[0].substr(t.urls[0].size() - 4), "run/");
  EXPECT_EQ(pb::GetParameterText("test"), "2");
}

TEST_F(Fetch, SuccessIsFinal) {
  Serve("error=100&func101=1.5");
  ASSERT_EQ(pb::LoadParameters("1", 0), 1);
  EXPECT_EQ(pb::FixedGetter("func101"), 1.5);
  EXPECT_EQ(pb::LoadParameters("other", 7), 1);
  EXPECT_EQ(pbtest::Transport().bodies.size(), 1u);  // no second request
}

TEST_F(Fetch, StatusAndDescriptionCarryOverFromEarlierReplies) {
  Serve("error=205&errorD=Service paused");
  Serve("func101=2");
  Serve("error=300");
  Serve("error=100");
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 205);  // the stored 205, read again
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 300);
  EXPECT_EQ(pb::LastErrorDescription(), "Service paused");
  EXPECT_EQ(pb::FixedGetter("func101"), -1.0);  // stored, but not loaded yet
  EXPECT_EQ(pb::LoadParameters("1", 0), 1);
  EXPECT_EQ(pb::FixedGetter("func101"), 2.0);
}

TEST_F(Fetch, OutOfMemoryInTheExchangeIsAFailedConnection) {
  pbtest::Transport().throwBadAlloc = true;
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 3);
}

TEST_F(Fetch, DescriptionBeforeAnyFetch) {
  EXPECT_EQ(pb::LastErrorCode(), 0);
  EXPECT_EQ(pb::LastErrorDescription(), "Internal dll error");
}

}  // namespace
