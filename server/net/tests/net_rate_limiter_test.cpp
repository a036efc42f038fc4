// The per-address token bucket, as tables of (key, time, allowed?) steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/net/rate_limiter.h"

namespace pbs {
namespace {

struct Step {
  const char* key;
  long long at_ms;
  bool allowed;
};

struct Case {
  const char* name;
  unsigned per_minute;
  unsigned burst;
  std::size_t max_keys;
  std::vector<Step> steps;
};

const Case kCases[] = {
    {"off allows everything and remembers nothing", 0, 1, 4,
     {{"a", 0, true}, {"a", 0, true}, {"a", 0, true}, {"a", 0, true}}},
    {"a burst, then one a second at 60 a minute", 60, 3, 16,
     {{"a", 0, true}, {"a", 0, true}, {"a", 0, true}, {"a", 0, false},
      {"a", 999, false}, {"a", 1000, true}, {"a", 1000, false}, {"a", 2000, true}}},
    {"a burst below 1 counts as 1", 60, 0, 16,
     {{"a", 0, true}, {"a", 0, false}, {"a", 999, false}, {"a", 1000, true}}},
    {"a refused request takes no token", 60, 1, 16,
     {{"a", 0, true}, {"a", 500, false}, {"a", 600, false}, {"a", 1000, true}}},
    {"the bucket refills to the burst and no further", 60, 2, 16,
     {{"a", 0, true}, {"a", 0, true}, {"a", 0, false},
      {"a", 100000, true}, {"a", 100000, true}, {"a", 100000, false}}},
    {"addresses have their own buckets", 60, 1, 16,
     {{"a", 0, true}, {"a", 0, false}, {"b", 0, true}, {"b", 0, false}, {"c", 0, true}}},
    {"one a minute", 1, 1, 16,
     {{"a", 0, true}, {"a", 59999, false}, {"a", 60000, true}}},
    {"a rate above one a millisecond", 120000, 1, 16,
     {{"a", 0, true}, {"a", 0, false}, {"a", 1, true}}},
    {"beyond max_keys the least recently seen starts over", 1, 1, 2,
     {{"a", 0, true}, {"b", 0, true}, {"a", 1, false}, {"c", 2, true},
      // b was least recent: evicted, so it is new again; a stays remembered.
      {"b", 3, true}, {"c", 4, false}, {"a", 5, true}}},
    {"seeing a key keeps it from eviction", 1, 1, 2,
     {{"a", 0, true}, {"b", 0, true}, {"a", 1, false}, {"c", 2, true}, {"a", 3, false}}},
};

TEST(RateLimiter, Table) {
  for (const Case& c : kCases) {
    RateLimiter limiter(c.per_minute, c.burst, c.max_keys);
    for (std::size_t i = 0; i < c.steps.size(); ++i) {
      const Step& s = c.steps[i];
      const RateLimiter::Time at{std::chrono::milliseconds(s.at_ms)};
      EXPECT_EQ(limiter.Allow(s.key, at), s.allowed) << c.name << ", step " << i;
      EXPECT_LE(limiter.size(), c.max_keys) << c.name << ", step " << i;
    }
    if (c.per_minute == 0) {
      EXPECT_EQ(limiter.size(), 0u) << c.name;
    }
  }
}

// A flood of distinct addresses keeps the table at its bound.
TEST(RateLimiter, DistinctKeysStayBounded) {
  RateLimiter limiter(20, 40, 1000);
  const RateLimiter::Time at{};
  for (int i = 0; i < 100000; ++i) ASSERT_TRUE(limiter.Allow("k" + std::to_string(i), at));
  EXPECT_EQ(limiter.size(), 1000u);
}

}  // namespace
}  // namespace pbs
