// Lines on stderr about failures that can repeat (a database that stays
// down, a flood): at most one line per interval per notice, with the number
// of repeats it stood for, so a failure cannot fill the journal.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

namespace pbs {

// Every line the serve command prints on stderr starts with this.
inline constexpr const char* kServeTag = "parambridge-server: ";

// One line, whole (lines of two threads never mix).
void PrintLine(const std::string& line);

class Notice {
 public:
  explicit Notice(std::chrono::seconds interval) : interval_(interval) {}
  // Prints `line` unless one was printed less than the interval ago.
  void Say(const std::string& line);

 private:
  std::mutex mutex_;
  std::chrono::seconds interval_;
  std::chrono::steady_clock::time_point last_{};
  bool said_ = false;
  uint64_t suppressed_ = 0;
};

}  // namespace pbs
