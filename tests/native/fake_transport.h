// A stand-in for the HTTP exchange in native tests: records each request and
// answers with the reply queued next (empty text when none is).
#pragma once

#include <deque>
#include <string>
#include <vector>

namespace pbtest {

struct FakeTransport {
  std::deque<std::string> replies;
  std::vector<std::string> urls;
  std::vector<std::string> bodies;
  bool throwBadAlloc = false;
};

FakeTransport& Transport();

}  // namespace pbtest
