// The per-address rate limit: a token bucket per key (an address or an IPv6
// /64), kept as the time its bucket will be full again. Pure: the caller
// passes the time and serialises calls.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <unordered_map>

namespace pbs {

class RateLimiter {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // `per_minute` requests a minute on average, at most `burst` at once (below
  // 1 counts as 1). per_minute 0: everything is allowed and nothing is kept.
  // At most `max_keys` keys are remembered (at least 1); a new key beyond
  // that evicts the least recently seen, which starts over with a full bucket.
  RateLimiter(unsigned per_minute, unsigned burst, std::size_t max_keys);

  // True when `key` may make a request at `now` (and takes one token).
  // `now` never goes backwards between calls.
  bool Allow(const std::string& key, Time now);

  std::size_t size() const { return index_.size(); }

 private:
  struct Entry {
    std::string key;
    // When the bucket is full again; a request is allowed while this is at
    // most (burst - 1) intervals ahead of now.
    std::chrono::nanoseconds full_at;
  };

  std::chrono::nanoseconds interval_{0};   // one token's refill time
  std::chrono::nanoseconds tolerance_{0};  // (burst - 1) intervals
  std::size_t max_keys_;
  std::list<Entry> recent_;  // most recently seen first
  std::unordered_map<std::string, std::list<Entry>::iterator> index_;
};

}  // namespace pbs
