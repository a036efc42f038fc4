// A stand-in for the HTTP exchange in native tests: records each request and
// answers with the reply queued next (empty text when none is).
#pragma once

#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace pbtest {

struct FakeTransport {
  std::deque<std::string> replies;
  std::vector<std::string> urls;
  std::vector<std::string> bodies;
  std::vector<std::size_t> pinCounts;  // the pins handed over, per request
  bool throwBadAlloc = false;
  // Runs inside every exchange, after the request is recorded: a test's way
  // to hold an exchange open while other threads call in.
  std::function<void()> during;
};

FakeTransport& Transport();

}  // namespace pbtest
