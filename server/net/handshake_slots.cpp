#include "server/net/handshake_slots.h"

#include <utility>

namespace pbs {

bool HandshakeSlots::TakeOrWait(Start start) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (running_ < cap_) {
    ++running_;
    return true;
  }
  line_.push_back(std::move(start));
  return false;
}

void HandshakeSlots::Give() {
  for (;;) {
    Start next;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (line_.empty()) {
        if (running_ > 0) --running_;
        return;
      }
      next = std::move(line_.front());
      line_.pop_front();
    }
    // Called outside the lock: it may post, or give the slot back at once.
    if (next()) return;
  }
}

int64_t HandshakeSlots::running() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return static_cast<int64_t>(running_);
}

std::size_t HandshakeSlots::waiting() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return line_.size();
}

}  // namespace pbs
