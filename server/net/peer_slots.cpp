#include "server/net/peer_slots.h"

namespace pbs {

bool PeerSlots::Take(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t& open = open_[key];
  if (cap_ != 0 && open >= cap_) {
    if (open == 0) open_.erase(key);
    return false;
  }
  ++open;
  return true;
}

void PeerSlots::Give(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = open_.find(key);
  if (it == open_.end()) return;
  if (--it->second == 0) open_.erase(it);
}

std::size_t PeerSlots::Addresses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return open_.size();
}

}  // namespace pbs
