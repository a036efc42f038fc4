#include "tests/native/fake_transport.h"

#include <new>

#include "params/transport.h"

namespace pbtest {

FakeTransport& Transport() {
  static FakeTransport transport;
  return transport;
}

}  // namespace pbtest

namespace pb {

std::string PostForm(const char* url, const char* body, const PinSet& pins) {
  pbtest::Transport().pinCounts.push_back(pins.digests.size());
  auto& t = pbtest::Transport();
  t.urls.push_back(url);
  t.bodies.push_back(body);
  if (t.during) t.during();
  if (t.throwBadAlloc) throw std::bad_alloc();
  if (t.replies.empty()) return {};
  std::string reply = t.replies.front();
  t.replies.pop_front();
  return reply;
}

}  // namespace pb
