// TLS handshakes running at once: at most `cap`. A connection that finds
// them all taken waits its turn (holding its socket only, no TLS state) in
// arrival order, within its own handshake deadline. Pure (no sockets);
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace pbs {

class HandshakeSlots {
 public:
  // Called with a slot taken for it: true when it keeps the slot, false when
  // its connection is gone (the slot goes to the next in line).
  using Start = std::function<bool()>;

  explicit HandshakeSlots(std::size_t cap) : cap_(cap == 0 ? 1 : cap) {}

  // True: a slot is taken now and `start` is dropped. False: `start` waits
  // in line and is called by the Give that hands it a slot.
  bool TakeOrWait(Start start);
  // Gives back a slot: to the first in line that keeps it, or free.
  void Give();
  int64_t running() const;
  std::size_t waiting() const;  // in line, the gone included until their turn

 private:
  const std::size_t cap_;
  mutable std::mutex mutex_;
  std::size_t running_ = 0;
  std::deque<Start> line_;
};

}  // namespace pbs
