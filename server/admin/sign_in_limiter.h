// Sign-in attempts, remembered in memory: too many failures from one
// address or for one name within the window refuse further attempts (429)
// until the oldest failure leaves the window. A success clears the name's
// failures. Bounded: at most `max_keys` keys are remembered (the stalest
// go first). Thread-safe; time is given, so the rules are tested as tables.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>

namespace pbs::admin {

class SignInLimiter {
 public:
  using Time = std::chrono::steady_clock::time_point;

  struct Limits {
    std::size_t per_address = 20;   // failures of one address within the window
    std::size_t per_name = 5;       // failures for one name within the window
    std::chrono::seconds window{15 * 60};
    std::size_t max_keys = 100000;
  };

  SignInLimiter() : SignInLimiter(Limits{}) {}
  explicit SignInLimiter(Limits limits) : limits_(limits) {}

  // Zero when an attempt may go on now; else the seconds to wait (at least 1).
  long long WaitBefore(const std::string& address, const std::string& name, Time now);
  void Failed(const std::string& address, const std::string& name, Time now);
  void Succeeded(const std::string& name);

 private:
  long long WaitFor(const std::string& key, std::size_t limit, Time now);
  void Note(const std::string& key, Time now);

  const Limits limits_;
  std::mutex mutex_;
  std::unordered_map<std::string, std::deque<Time>> failures_;   // "a:" address, "n:" name
};

}  // namespace pbs::admin
