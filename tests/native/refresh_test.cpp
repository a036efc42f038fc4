// RefreshParameters on a loaded module: what the store, the loaded flag, the
// fixed getters and the error state hold after each kind of reply; a refresh
// that outlasts its wait; readers during 200 refreshes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "params/fetch.h"
#include "params/store.h"
#include "tests/native/base64_encode.h"
#include "tests/native/fake_transport.h"

namespace {

using Clock = std::chrono::steady_clock;

// The reply that loads the module before each row.
constexpr char kLoadReply[] = "error=100&func101=1.5&func102=2.5&func103=3.5&old=1";
// The store it leaves.
constexpr char kLoadedStore[] = "error=100&func101=1.5&func102=2.5&func103=3.5&old=1&test=2";

std::string StoreText() {
  static std::string text;
  text.clear();
  pb::ForEachParameterForTesting([](const std::string& name, const std::string& value) {
    text += (text.empty() ? "" : "&") + name + "=" + value;
  });
  return text;
}

class Refresh : public ::testing::Test {
 protected:
  void SetUp() override {
    pb::ResetStoreForTesting();
    pb::ResetFetchForTesting();
    pbtest::Transport() = {};
    pb::SetRefreshWaitForTesting(pb::kRefreshWait);
  }
  void TearDown() override { pb::SetRefreshWaitForTesting(pb::kRefreshWait); }
  static void Serve(const std::string& decoded) {
    pbtest::Transport().replies.push_back(pbtest::Base64Encode(decoded));
  }
  static void Load() {
    Serve(kLoadReply);
    ASSERT_EQ(pb::LoadParameters("12345", 0), 1);
  }
  static double F(pb::FixedName n) { return pb::FixedGetter(n); }
};

struct OutcomeRow {
  const char* reply;  // decoded; nullptr for an empty body (no connection, a cut reply)
  int result;
  int code;
  const char* description;
  bool loaded;
  double f101, f102, f103;
  const char* store;  // nullptr: unchanged (kLoadedStore)
};

TEST_F(Refresh, OutcomesOnALoadedModule) {
  const char* kInternal = "Internal dll error";
  const char* kNoConnection = "Could not connect to server.";
  const OutcomeRow rows[] = {
      // Success: the reply's values, one snapshot; what it lacks is gone.
      {"error=100&func101=4&func102=5&new=7", 1, 1, kInternal, true, 4, 5, -1,
       "error=100&func101=4&func102=5&new=7&test=2"},
      {"error=1e2&func103=9&test=5", 1, 1, kInternal, true, -1, -1, 9,
       "error=1e2&func103=9&test=5"},
      // The server's decision on the account: unloaded, that reply's pairs.
      {"error=201&errorD=Unknown account&func101=9", 0, 201, "Unknown account", false, -1, -1, -1,
       "error=201&errorD=Unknown account&func101=9&test=2"},
      {"error=250&errorD=Revoked", 0, 250, "Revoked", false, -1, -1, -1,
       "error=250&errorD=Revoked&test=2"},
      {"error=299.9", 0, 299, "", false, -1, -1, -1, "error=299.9&test=2"},
      // Every other answer keeps the values, the store and the loaded flag.
      {"error=200.5&errorD=Odd", 0, 200, "Odd", true, 1.5, 2.5, 3.5, nullptr},
      {"error=300&errorD=Moved", 0, 300, "Moved", true, 1.5, 2.5, 3.5, nullptr},
      {"error=400&errorD=Malformed request", 0, 400, "Malformed request", true, 1.5, 2.5, 3.5,
       nullptr},
      {"error=404&errorD=Unknown path", 0, 404, "Unknown path", true, 1.5, 2.5, 3.5, nullptr},
      {"error=405&errorD=Method not allowed", 0, 405, "Method not allowed", true, 1.5, 2.5, 3.5,
       nullptr},
      {"error=0", 0, 0, kInternal, true, 1.5, 2.5, 3.5, nullptr},
      {"error=1.7&func101=8", 0, 1, kInternal, true, 1.5, 2.5, 3.5, nullptr},
      {"error=2", 0, 2, kInternal, true, 1.5, 2.5, 3.5, nullptr},
      {"error=3", 0, 3, kNoConnection, true, 1.5, 2.5, 3.5, nullptr},
      {"error=-1&func101=8", 0, 2, kInternal, true, 1.5, 2.5, 3.5, nullptr},
      {"func101=8&func102=8", 0, 2, kInternal, true, 1.5, 2.5, 3.5, nullptr},  // no status
      {"<html>503 Service Unavailable</html>", 0, 2, kInternal, true, 1.5, 2.5, 3.5, nullptr},
      {nullptr, 0, 3, kNoConnection, true, 1.5, 2.5, 3.5, nullptr},  // empty, cut, refused
  };
  for (const OutcomeRow& row : rows) {
    SCOPED_TRACE(row.reply ? row.reply : "(empty)");
    SetUp();
    Load();
    if (row.reply) {
      pbtest::Transport().replies.push_back(pbtest::Base64Encode(row.reply));
    } else {
      pbtest::Transport().replies.push_back("");
    }
    EXPECT_EQ(pb::RefreshParameters("12345", 0), row.result);
    EXPECT_EQ(pb::LastErrorCode(), row.code);
    EXPECT_EQ(pb::LastErrorDescription(), row.description);
    EXPECT_EQ(pb::IsLoaded(), row.loaded);
    EXPECT_EQ(F(pb::FixedName::kFunc101), row.f101);
    EXPECT_EQ(F(pb::FixedName::kFunc102), row.f102);
    EXPECT_EQ(F(pb::FixedName::kFunc103), row.f103);
    EXPECT_EQ(StoreText(), row.store ? row.store : kLoadedStore);
    EXPECT_EQ(pbtest::Transport().bodies.size(), 2u);
    // A loaded module answers LoadParameters at once; an unloaded one asks
    // the server again.
    Serve("error=100&func101=6");
    EXPECT_EQ(pb::LoadParameters("12345", 0), 1);
    EXPECT_EQ(pbtest::Transport().bodies.size(), row.loaded ? 2u : 3u);
    EXPECT_EQ(F(pb::FixedName::kFunc101), row.loaded ? row.f101 : 6.0);
  }
}

// The refresh posts the same request as a load, each time it is called.
TEST_F(Refresh, AlwaysAsksTheServer) {
  Load();
  Serve("error=100&func101=2");
  Serve("error=100&func101=3");
  EXPECT_EQ(pb::RefreshParameters("777", -1), 1);
  EXPECT_EQ(pb::RefreshParameters(nullptr, 2), 1);
  EXPECT_EQ(F(pb::FixedName::kFunc101), 3.0);
  const auto& t = pbtest::Transport();
  ASSERT_EQ(t.bodies.size(), 3u);
  EXPECT_EQ(t.bodies[1], "account=777&accountType=-1");
  EXPECT_EQ(t.bodies[2], "account=&accountType=2");
  EXPECT_EQ(t.urls[2], std::string(pb::ParameterEndpoint()));
}

TEST_F(Refresh, OutOfMemoryKeepsTheValues) {
  Load();
  pbtest::Transport().throwBadAlloc = true;
  EXPECT_EQ(pb::RefreshParameters("12345", 0), 0);
  EXPECT_EQ(pb::LastErrorCode(), 3);
  EXPECT_TRUE(pb::IsLoaded());
  EXPECT_EQ(StoreText(), kLoadedStore);
}

// The server holds its answer past the refresh's wait: the caller gets 0
// with code 3 and the old values; a caller that comes meanwhile waits for
// that same exchange (no second request); the answer, when it comes, is
// applied. The wait is lowered for the test; the answer is held until the
// test lets it go, so nothing here depends on how long anything takes.
TEST_F(Refresh, AnExchangeThatOutlastsTheWaitIsAppliedWhenItEnds) {
  const struct {
    const char* reply;
    int code;
    bool loaded;
    double f101;
  } rows[] = {
      {"error=100&func101=2.5", 1, true, 2.5},
      {"error=205&errorD=Revoked", 205, false, -1.0},
      {"error=404", 404, true, 1.5},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.reply);
    SetUp();
    Load();
    pb::SetRefreshWaitForTesting(std::chrono::milliseconds(20));
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    pbtest::Transport().during = [&] {
      std::unique_lock<std::mutex> hold(m);
      cv.wait(hold, [&] { return release; });
    };
    Serve(row.reply);
    EXPECT_EQ(pb::RefreshParameters("12345", 0), 0);
    EXPECT_EQ(pb::LastErrorCode(), 3);
    EXPECT_EQ(pb::LastErrorDescription(), "Could not connect to server.");
    EXPECT_EQ(pb::RefreshParameters("12345", 0), 0);  // joins the held exchange
    EXPECT_TRUE(pb::IsLoaded());
    EXPECT_EQ(F(pb::FixedName::kFunc101), 1.5);
    EXPECT_EQ(StoreText(), kLoadedStore);
    {
      std::lock_guard<std::mutex> hold(m);
      release = true;
    }
    cv.notify_all();
    // The exchange's code is the last thing it writes.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (pb::LastErrorCode() == 3 && Clock::now() < deadline) std::this_thread::yield();
    EXPECT_EQ(pb::LastErrorCode(), row.code);
    EXPECT_EQ(pb::IsLoaded(), row.loaded);
    EXPECT_EQ(F(pb::FixedName::kFunc101), row.f101);
    EXPECT_EQ(pbtest::Transport().bodies.size(), 2u);
    // The next refresh, with the wait restored, runs an exchange of its own
    // once that one has ended.
    pb::SetRefreshWaitForTesting(pb::kRefreshWait);
    pbtest::Transport().during = nullptr;
    Serve("error=100&func101=7");
    int next = pb::RefreshParameters("12345", 0);
    // The first call may have found the held exchange just ending and taken
    // its result; the second then runs its own.
    if (F(pb::FixedName::kFunc101) != 7.0) next = pb::RefreshParameters("12345", 0);
    EXPECT_EQ(next, 1);
    EXPECT_EQ(F(pb::FixedName::kFunc101), 7.0);
  }
}

// Eight readers call the fixed getters and GetParameter while 200 refreshes
// replace the values. Reply k holds k in every entry, so a reader that sees
// whole snapshots, in the order they were published, reads a sequence that
// never goes down, and never an emptied store (the default) or an unloaded
// getter (-1). Every tenth exchange waits until every reader has read again
// since it began: a reader that waited for the exchange would hold it
// forever (the bounded wait then fails the test).
TEST_F(Refresh, ReadersSeeWholeSnapshotsAndNeverWait) {
  constexpr int kReaders = 8;
  constexpr int kRefreshes = 200;
  auto reply = [](int k) {
    const std::string v = std::to_string(k);
    return "error=100&func101=" + v + "&func102=" + v + "&func103=" + v + "&p=" + v;
  };
  Serve(reply(1));
  ASSERT_EQ(pb::LoadParameters("12345", 0), 1);
  for (int k = 2; k <= kRefreshes + 1; ++k) Serve(reply(k));

  std::atomic<bool> done{false};
  std::atomic<int> bad{0};
  std::atomic<long> rounds[kReaders] = {};
  std::atomic<int> stalled{0};
  int exchanges = 0;  // the worker's only; exchanges run one at a time
  pbtest::Transport().during = [&] {
    if (++exchanges % 10 != 0) return;
    long seen[kReaders];
    for (int i = 0; i < kReaders; ++i) seen[i] = rounds[i].load();
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (int i = 0; i < kReaders; ++i) {
      while (rounds[i].load() == seen[i]) {
        if (Clock::now() > deadline) {
          ++stalled;
          return;
        }
        std::this_thread::yield();
      }
    }
  };
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      double last = 1.0;
      auto check = [&](double v) {
        if (v < last || v != static_cast<int>(v)) ++bad;
        last = v;
      };
      while (!done) {
        check(F(pb::FixedName::kFunc101));
        check(pb::GetParameter("p", -7.0));
        check(F(pb::FixedName::kFunc102));
        check(pb::GetParameter("func101", -7.0));
        check(F(pb::FixedName::kFunc103));
        ++rounds[i];
        std::this_thread::yield();  // the exchanges need a processor too
      }
    });
  }
  int ok = 0;
  for (int k = 0; k < kRefreshes; ++k) ok += pb::RefreshParameters("12345", 0);
  done = true;
  for (auto& t : readers) t.join();
  pbtest::Transport().during = nullptr;
  EXPECT_EQ(ok, kRefreshes);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(stalled.load(), 0);
  EXPECT_EQ(F(pb::FixedName::kFunc103), kRefreshes + 1.0);
}

}  // namespace
