// Taking a reply's body only when it is whole and acceptable.
#pragma once

#include <string>

namespace pb {

// Reads the body of `request` (a WinHTTP request handle whose response has
// arrived, passed as void* so that callers need no <windows.h>) and appends
// its text to `reply`: each piece's bytes up to its first NUL. False, with
// `reply` to be dropped, when the status is 3xx (redirects are not
// followed), a read fails, the body passes kMaxReplyBytes (reading stops one
// byte past it; a larger Content-Length is refused before reading), or
// fewer or more bytes arrive than a Content-Length declares (unless the
// body is chunked, where that header does not count). Judged from what
// WinHTTP reports, never from the text.
bool ReadWholeReply(void* request, std::string& reply);

}  // namespace pb
