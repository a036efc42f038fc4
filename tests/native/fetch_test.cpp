#include "params/fetch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
  // Before any success a refresh is a load.
  for (auto call : {pb::LoadParameters, pb::RefreshParameters}) {
    SCOPED_TRACE(call == pb::LoadParameters ? "LoadParameters" : "RefreshParameters");
    for (const StatusRow& row : rows) {
      SetUp();
      if (row.reply) Serve(row.reply);
      EXPECT_EQ(call("12345", 0), row.result) << row.reply;
      EXPECT_EQ(pb::LastErrorCode(), row.code) << row.reply;
      EXPECT_EQ(pb::LastErrorDescription(), row.description) << row.reply;
      EXPECT_EQ(pb::IsLoaded(), row.result == 1) << row.reply;
      EXPECT_EQ(pb::GetParameterText("test"), "2") << row.reply;
    }
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
  EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc101), 1.5);
  EXPECT_EQ(pb::LoadParameters("other", 7), 1);
  EXPECT_EQ(pbtest::Transport().bodies.size(), 1u);  // no second request
}

// Each exchange starts from an empty store: an earlier reply's status,
// description and values never answer for a later one (a captive portal's
// page after a refusal used to report the refusal again).
// A caller that got 0 and asks why while the next caller's exchange runs
// (which has emptied the store) hears its own exchange's reason.
TEST_F(Fetch, TheReasonOutlivesTheNextExchangesStart) {
  Serve("error=205&errorD=Service paused");
  Serve("error=100");
  ASSERT_EQ(pb::LoadParameters("1", 0), 0);
  std::string during;
  std::int32_t codeDuring = 0;
  pbtest::Transport().during = [&] {
    codeDuring = pb::LastErrorCode();
    during = pb::LastErrorDescription();
  };
  ASSERT_EQ(pb::LoadParameters("1", 0), 1);
  EXPECT_EQ(codeDuring, 205);
  EXPECT_EQ(during, "Service paused");
}

TEST_F(Fetch, EachExchangeIsJudgedOnItsOwnReply) {
  Serve("error=205&errorD=Service paused&func101=7");
  Serve("func101=2");
  Serve("error=300");
  Serve("error=100");
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorDescription(), "Service paused");
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 2);  // no status in this reply
  EXPECT_EQ(pb::GetParameterText("error"), "");
  EXPECT_EQ(pb::GetParameterText("func101"), "2");
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 300);
  EXPECT_EQ(pb::LastErrorDescription(), "");  // the 205's text is gone
  EXPECT_EQ(pb::GetParameterText("func101"), "");
  EXPECT_EQ(pb::LoadParameters("1", 0), 1);
  EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc101), -1.0);  // not in the reply that loaded
  EXPECT_EQ(pb::GetParameterText("test"), "2");
  // A failed exchange (an empty reply) leaves nothing of earlier replies.
  SetUp();
  Serve("error=205&errorD=Service paused");
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 3);
  EXPECT_EQ(pb::GetParameterText("errorD"), "");
  EXPECT_EQ(pb::GetParameterText("test"), "2");
  // This build has no pins; the transport is handed none.
  EXPECT_EQ(pbtest::Transport().pinCounts, std::vector<std::size_t>({0, 0}));
}

TEST_F(Fetch, OutOfMemoryInTheExchangeIsAFailedConnection) {
  pbtest::Transport().throwBadAlloc = true;
  EXPECT_EQ(pb::LoadParameters("1", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 3);
}

// Eight callers load at once, as five charts of one expert advisor do when a
// terminal starts, while two more poll what a caller may read meanwhile.
// Every exchange is held open until all eight loaders have called in, so
// they really overlap; nothing here depends on timing.
TEST_F(Fetch, ConcurrentCallers) {
  constexpr int kLoaders = 8;
  const struct {
    const char* reply;  // served to every request
    int result;
    int code;
    int requests;
    const char* description;
  } rows[] = {
      {"error=100&func101=1.5&func102=2.5&func103=3.5", 1, 1, 1, "Internal dll error"},
      {"error=205&errorD=Service paused", 0, 205, kLoaders, "Service paused"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reply);
    SetUp();
    for (int i = 0; i < kLoaders; ++i) Serve(row.reply);
    std::mutex m;
    std::condition_variable cv;
    int arrived = 0;
    // Under m: each loader's thread while it is inside LoadParameters (an
    // ended thread's id may be given to a new worker).
    std::vector<std::thread::id> callerThreads(kLoaders);
    int onACallersThread = 0;
    std::atomic<int> inFlight{0}, mostInFlight{0};
    pbtest::Transport().during = [&] {
      const int now = ++inFlight;
      if (now > mostInFlight) mostInFlight = now;
      std::unique_lock<std::mutex> hold(m);
      cv.wait(hold, [&] { return arrived == kLoaders; });
      // A terminal may end a caller's thread at any time: the exchange runs
      // on a worker's thread.
      for (const auto& id : callerThreads) onACallersThread += id == std::this_thread::get_id();
      --inFlight;
    };

    std::atomic<bool> done{false};
    std::atomic<int> badReads{0};
    auto poll = [&] {
      while (!done) {
        const double v = pb::FixedGetter(pb::FixedName::kFunc101);
        if (v != -1.0 && v != 1.5) ++badReads;
        const std::string d = pb::GetParameterText("errorD");
        if (!d.empty() && d != "Service paused") ++badReads;
        // Empty between an exchange's start (the store emptied) and its reply.
        const std::string text = pb::LastErrorDescription();
        if (text != "Internal dll error" && text != "Could not connect to server." &&
            text != "Service paused" && !text.empty()) {
          ++badReads;
        }
      }
    };
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) readers.emplace_back(poll);
    std::vector<int> results(kLoaders, -1);
    std::vector<std::thread> loaders;
    for (int i = 0; i < kLoaders; ++i) {
      loaders.emplace_back([&, i] {
        {
          std::lock_guard<std::mutex> hold(m);
          callerThreads[static_cast<std::size_t>(i)] = std::this_thread::get_id();
          ++arrived;
        }
        cv.notify_all();
        results[static_cast<std::size_t>(i)] = pb::LoadParameters("12345", 0);
        std::lock_guard<std::mutex> hold(m);
        callerThreads[static_cast<std::size_t>(i)] = std::thread::id();
      });
    }
    for (auto& t : loaders) t.join();
    done = true;
    for (auto& t : readers) t.join();

    for (int r : results) EXPECT_EQ(r, row.result);
    EXPECT_EQ(pb::LastErrorCode(), row.code);
    EXPECT_EQ(pb::LastErrorDescription(), row.description);
    EXPECT_EQ(static_cast<int>(pbtest::Transport().bodies.size()), row.requests);
    EXPECT_EQ(mostInFlight.load(), 1) << "two exchanges overlapped";
    EXPECT_EQ(onACallersThread, 0);
    EXPECT_EQ(badReads.load(), 0);
    if (row.result == 1) {
      EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc102), 2.5);
      EXPECT_EQ(pb::FixedGetter(pb::FixedName::kFunc103), 3.5);
    }
    pbtest::Transport().during = nullptr;
  }
}

TEST_F(Fetch, DescriptionBeforeAnyFetch) {
  EXPECT_EQ(pb::LastErrorCode(), 0);
  EXPECT_EQ(pb::LastErrorDescription(), "Internal dll error");
}

}  // namespace
