#include "server/net/rate_limiter.h"

#include <algorithm>

namespace pbs {

RateLimiter::RateLimiter(unsigned per_minute, unsigned burst, std::size_t max_keys)
    : max_keys_(std::max<std::size_t>(max_keys, 1)) {
  if (per_minute == 0) return;
  interval_ = std::chrono::nanoseconds(std::chrono::minutes(1)) / per_minute;
  tolerance_ = interval_ * (std::max(burst, 1u) - 1);
}

bool RateLimiter::Allow(const std::string& key, Time now) {
  if (interval_.count() == 0) return true;
  const std::chrono::nanoseconds t = now.time_since_epoch();
  auto found = index_.find(key);
  if (found == index_.end()) {
    if (index_.size() >= max_keys_) {
      index_.erase(recent_.back().key);
      recent_.pop_back();
    }
    recent_.push_front(Entry{key, t + interval_});
    index_.emplace(key, recent_.begin());
    return true;
  }
  recent_.splice(recent_.begin(), recent_, found->second);
  Entry& entry = *found->second;
  const std::chrono::nanoseconds full_at = std::max(entry.full_at, t);
  if (full_at - t > tolerance_) return false;
  entry.full_at = full_at + interval_;
  return true;
}

}  // namespace pbs
