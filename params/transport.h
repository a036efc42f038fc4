// One form POST to the product server. Blocks the calling thread until the
// reply is complete or the exchange has failed.
#pragma once

#include <string>

namespace pb {

// POSTs `body` (NUL-terminated, so it holds no NUL) to `url` and returns the
// response body, whatever the HTTP status. Every failure of the exchange
// gives empty text; a body read that fails midway gives what was read so far.
// A NUL inside a piece of the body cuts that piece. Throws std::bad_alloc
// when memory runs out, after every handle has been closed.
std::string PostForm(const char* url, const char* body);

}  // namespace pb
