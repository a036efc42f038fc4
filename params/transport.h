// One form POST to the product server. Blocks the calling thread until the
// reply is complete or the exchange has failed.
#pragma once

#include <cstddef>
#include <string>

#include "params/pins.h"

namespace pb {

// The largest reply body taken, in bytes. The real replies are a few hundred
// bytes; reading stops here, so memory stays bounded whatever a server sends.
constexpr std::size_t kMaxReplyBytes = 1024 * 1024;

// POSTs `body` (NUL-terminated, so it holds no NUL) to `url` and returns the
// response body, whatever the HTTP status, when the exchange is whole:
//  - with pins, the server's key matched one of them, checked after the TLS
//    handshake and before a byte of the body is sent (pins with plain http
//    fail before anything is sent);
//  - the status is not 3xx (redirects are never followed);
//  - every read succeeded, and as many bytes arrived as Content-Length
//    declared (when it did, and the body is not chunked);
//  - the body is at most kMaxReplyBytes.
// Every other way gives empty text. A NUL inside a piece of the body cuts
// that piece's text. Throws std::bad_alloc when memory runs out, after
// every handle has been closed.
std::string PostForm(const char* url, const char* body, const PinSet& pins);

}  // namespace pb
