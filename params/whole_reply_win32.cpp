// Whole replies over WinHTTP. Trap: WinHTTP reports a connection that
// closes (or is reset) before the declared Content-Length as the end of the
// body, without an error; only the count tells. A chunked body cut between
// or inside chunks is reported whole by Wine 8's WinHTTP: nothing here can
// tell that.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "params/transport.h"
#include "params/whole_reply.h"

namespace pb {
namespace {

// The Content-Length the reply declares: kNoLength when it declares none
// (or is chunked, where the header does not count), kBadLength when the
// header is not a plain decimal number or exceeds kMaxReplyBytes.
constexpr std::size_t kNoLength = static_cast<std::size_t>(-1);
constexpr std::size_t kBadLength = static_cast<std::size_t>(-2);

bool HasHeader(HINTERNET request, DWORD info) {
  DWORD size = 0;
  WinHttpQueryHeaders(request, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &size,
                      WINHTTP_NO_HEADER_INDEX);
  // Read right after the call: a header that is there reports its size.
  return GetLastError() == ERROR_INSUFFICIENT_BUFFER;
}

std::size_t DeclaredLength(HINTERNET request) {
  if (HasHeader(request, WINHTTP_QUERY_TRANSFER_ENCODING)) return kNoLength;
  wchar_t text[24];
  DWORD size = sizeof text;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                           text, &size, WINHTTP_NO_HEADER_INDEX)) {
    return GetLastError() == ERROR_WINHTTP_HEADER_NOT_FOUND ? kNoLength : kBadLength;
  }
  const std::size_t count = size / sizeof(wchar_t);
  if (count == 0) return kBadLength;
  std::size_t length = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return kBadLength;
    length = length * 10 + static_cast<std::size_t>(text[i] - L'0');
    if (length > kMaxReplyBytes) return kBadLength;
  }
  return length;
}

// Redirects are disabled on the request, so a 3xx reply would be taken for
// the answer itself.
bool IsRedirect(HINTERNET request) {
  DWORD status = 0;
  DWORD size = sizeof status;
  if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                           WINHTTP_NO_HEADER_INDEX)) {
    return true;  // no status to judge: not a reply to take
  }
  return status >= 300 && status < 400;
}

// Appends the body's text to `reply`. False when a read fails or the body
// passes kMaxReplyBytes; `received` counts the bytes that arrived (NULs
// included). Never asks for more than one byte past the cap, so memory
// stays bounded whatever the server sends.
bool ReadBody(HINTERNET request, std::string& reply, std::size_t& received) {
  for (;;) {
    DWORD available = 0;
    if (!WinHttpQueryDataAvailable(request, &available)) return false;
    if (available == 0) return true;
    const std::size_t room = kMaxReplyBytes + 1 - received;
    const DWORD wanted = available < room ? available : static_cast<DWORD>(room);
    // One zeroed byte more than asked for ends a piece that holds no NUL.
    std::vector<char> piece(static_cast<std::size_t>(wanted) + 1, '\0');
    DWORD read = 0;
    if (!WinHttpReadData(request, piece.data(), wanted, &read)) return false;
    if (read == 0) return true;
    received += read;
    if (received > kMaxReplyBytes) return false;
    // The text of a piece ends at its first NUL.
    const char* text = piece.data();
    reply.append(text, std::find(text, text + read, '\0'));
  }
}

}  // namespace

bool ReadWholeReply(void* request, std::string& reply) {
  if (IsRedirect(request)) return false;
  const std::size_t declared = DeclaredLength(request);
  if (declared == kBadLength) return false;
  std::size_t received = 0;
  if (!ReadBody(request, reply, received)) return false;
  return declared == kNoLength || received == declared;
}

}  // namespace pb
