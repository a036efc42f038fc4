// Judging one fetch's reply: the bytes read so far against the reply the
// contender should give (its HTTP status and its body, byte for byte).
// Pure: no I/O, so the load generator and its tests share it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pbbench {

enum class Verdict {
  kIncomplete,   // not whole yet: read on
  kServed,       // the expected status and exactly the expected body
  kUnavailable,  // HTTP 503 with an empty body: the server's "try later"
  kWrong,        // anything else: another status or body, a cut or unreadable reply
};

struct ExpectedReply {
  int status = 200;
  std::string body;
};

// The most a reply may hold (header and body); more is a wrong answer.
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// `bytes`: everything read from the connection so far; `at_end`: the peer
// closed (or reset) it, nothing more will come. A reply with Content-Length
// is whole once that many body bytes followed the header; one without is
// whole at the end of the connection. Chunked replies count as wrong (every
// contender sends Content-Length for a reply this small).
Verdict Judge(std::string_view bytes, bool at_end, const ExpectedReply& expected);

}  // namespace pbbench
