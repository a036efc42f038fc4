// Callers that arrive while an exchange is in flight take its result: one
// request for them all, whichever kind of call started it. (On the native
// tests' worker threads, which count the callers that wait.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "params/fetch.h"
#include "params/store.h"
#include "tests/native/base64_encode.h"
#include "tests/native/fake_transport.h"
#include "tests/native/std_worker.h"

namespace {

using Clock = std::chrono::steady_clock;
using Call = std::int32_t (*)(const char*, std::int32_t) noexcept;

struct JoinRow {
  const char* name;
  bool loadedBefore;
  Call first;   // starts the exchange
  Call others;  // the seven that arrive while it is held
  const char* reply;
  int result;   // every caller's
  int code;
  bool loadedAfter;
};

TEST(RefreshCallers, TakeTheResultOfTheExchangeInFlight) {
  const JoinRow rows[] = {
      {"refreshes join a refresh", true, pb::RefreshParameters, pb::RefreshParameters,
       "error=100&func101=4", 1, 1, true},
      {"refreshes join a refused refresh", true, pb::RefreshParameters, pb::RefreshParameters,
       "error=205&errorD=Revoked", 0, 205, false},
      {"refreshes join a kept refresh", true, pb::RefreshParameters, pb::RefreshParameters,
       "error=404", 0, 404, true},
      {"refreshes join a load", false, pb::LoadParameters, pb::RefreshParameters,
       "error=100&func101=4", 1, 1, true},
      {"refreshes join a failed load", false, pb::LoadParameters, pb::RefreshParameters,
       "error=205&errorD=Revoked", 0, 205, false},
      {"refreshes join a refresh that loads", false, pb::RefreshParameters,
       pb::RefreshParameters, "error=100&func101=4", 1, 1, true},
      {"loads join a refresh that loads", false, pb::RefreshParameters, pb::LoadParameters,
       "error=100&func101=4", 1, 1, true},
  };
  constexpr int kOthers = 7;
  for (const JoinRow& row : rows) {
    SCOPED_TRACE(row.name);
    pb::ResetStoreForTesting();
    pb::ResetFetchForTesting();
    pbtest::Transport() = {};
    if (row.loadedBefore) {
      pbtest::Transport().replies.push_back(pbtest::Base64Encode("error=100&func101=1.5"));
      ASSERT_EQ(pb::LoadParameters("12345", 0), 1);
    }
    pbtest::Transport().replies.push_back(pbtest::Base64Encode(row.reply));
    // The exchange is held until the seven others wait for it.
    const int opensBefore = pbtest::WorkerOpens();
    bool held = true;
    std::atomic<bool> onTheWire{false};
    pbtest::Transport().during = [&] {
      onTheWire = true;
      const auto deadline = Clock::now() + std::chrono::seconds(20);
      while (pbtest::WorkerOpens() - opensBefore < kOthers) {
        if (Clock::now() > deadline) {
          held = false;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    };
    std::vector<int> results(kOthers + 1, -1);
    std::vector<std::thread> callers;
    callers.emplace_back([&] { results[0] = row.first("12345", 0); });
    // The others start once the first exchange is on the wire.
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (!onTheWire && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    for (int i = 1; i <= kOthers; ++i) {
      callers.emplace_back([&, i] { results[static_cast<std::size_t>(i)] = row.others("12345", 0); });
    }
    for (auto& t : callers) t.join();
    pbtest::Transport().during = nullptr;
    EXPECT_TRUE(held) << "the others never waited";
    for (int r : results) EXPECT_EQ(r, row.result);
    EXPECT_EQ(pb::LastErrorCode(), row.code);
    EXPECT_EQ(pb::IsLoaded(), row.loadedAfter);
    EXPECT_EQ(pbtest::Transport().bodies.size(), row.loadedBefore ? 2u : 1u);
  }
}

}  // namespace
