// Open connections per client address: one address may hold at most `cap`
// of the server's fetch connections, so that a single outsider opening
// connections and sending nothing cannot take every slot from the others.
// Pure (no sockets); thread-safe. The table holds only addresses with an
// open connection, so it is bounded by the server's connection cap.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <unordered_map>

namespace pbs {

class PeerSlots {
 public:
  // cap 0: no per-address limit.
  explicit PeerSlots(std::size_t cap) : cap_(cap) {}

  // True (and a slot taken) when `key` holds fewer than the cap.
  bool Take(const std::string& key);
  // Gives back a slot that Take granted.
  void Give(const std::string& key);
  // Addresses holding at least one slot.
  std::size_t Addresses() const;

 private:
  const std::size_t cap_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::size_t> open_;
};

}  // namespace pbs
