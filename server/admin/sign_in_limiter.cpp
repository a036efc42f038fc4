#include "server/admin/sign_in_limiter.h"

#include <algorithm>

namespace pbs::admin {

long long SignInLimiter::WaitFor(const std::string& key, std::size_t limit, Time now) {
  auto it = failures_.find(key);
  if (it == failures_.end()) return 0;
  std::deque<Time>& times = it->second;
  while (!times.empty() && times.front() + limits_.window <= now) times.pop_front();
  if (times.empty()) {
    failures_.erase(it);
    return 0;
  }
  if (times.size() < limit) return 0;
  const auto left = std::chrono::ceil<std::chrono::seconds>(times.front() + limits_.window - now).count();
  return std::max<long long>(left, 1);
}

long long SignInLimiter::WaitBefore(const std::string& address, const std::string& name, Time now) {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::max(WaitFor("a:" + address, limits_.per_address, now), WaitFor("n:" + name, limits_.per_name, now));
}

void SignInLimiter::Note(const std::string& key, Time now) {
  if (failures_.size() >= limits_.max_keys && failures_.find(key) == failures_.end()) {
    // Full: forget the key whose latest failure is oldest.
    auto stalest = failures_.begin();
    for (auto it = failures_.begin(); it != failures_.end(); ++it) {
      if (it->second.back() < stalest->second.back()) stalest = it;
    }
    failures_.erase(stalest);
  }
  std::deque<Time>& times = failures_[key];
  times.push_back(now);
  // More than the largest limit is never needed.
  while (times.size() > std::max(limits_.per_address, limits_.per_name)) times.pop_front();
}

void SignInLimiter::Failed(const std::string& address, const std::string& name, Time now) {
  std::lock_guard<std::mutex> lock(mutex_);
  Note("a:" + address, now);
  Note("n:" + name, now);
}

void SignInLimiter::Succeeded(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  failures_.erase("n:" + name);
}

}  // namespace pbs::admin
