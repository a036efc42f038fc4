#include "server/net/notice.h"

#include <cstdio>

namespace pbs {

void PrintLine(const std::string& line) {
  const std::string whole = kServeTag + line + "\n";
  std::fwrite(whole.data(), 1, whole.size(), stderr);
  std::fflush(stderr);
}

void Notice::Say(const std::string& line) {
  std::string text;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    if (said_ && now - last_ < interval_) {
      ++suppressed_;
      return;
    }
    text = line;
    if (suppressed_ > 0) text += " (and " + std::to_string(suppressed_) + " more like it)";
    said_ = true;
    last_ = now;
    suppressed_ = 0;
  }
  PrintLine(text);
}

}  // namespace pbs
