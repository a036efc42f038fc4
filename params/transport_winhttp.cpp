// PostForm over WinHTTP in synchronous mode.
#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "params/form.h"
#include "params/server_key.h"
#include "params/transport.h"

namespace pb {
namespace {

constexpr wchar_t kUserAgent[] = L"PostSample/1.0";
constexpr wchar_t kHeaders[] =
    L"Content-Type: application/x-www-form-urlencoded\r\nAccept: */*\r\n";
constexpr int kTimeoutMs = 900000;
constexpr DWORD kIgnoredCertificateFaults = SECURITY_FLAG_IGNORE_UNKNOWN_CA |
                                            SECURITY_FLAG_IGNORE_CERT_CN_INVALID |
                                            SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;

// One code unit per byte, sign-extended as a char is (0x80 -> 0xFF80): no
// code page is involved. The only URL in use is ASCII.
std::wstring Widen(const std::string& text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (char c : text) wide.push_back(static_cast<wchar_t>(static_cast<short>(c)));
  return wide;
}

// Closes its handle on every way out, an exception passing through included.
struct HandleCloser {
  void operator()(void* h) const { WinHttpCloseHandle(h); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

// The raw headers are fetched and dropped unread. Of the status only 3xx
// counts (IsRedirect), so an error page's body comes back like any other.
bool FetchRawHeaders(HINTERNET request) {
  DWORD size = 0;
  if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF, WINHTTP_HEADER_NAME_BY_INDEX,
                          WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX)) {
    return true;
  }
  // Read right after the call: only a reported size leads to a second query;
  // any other error lets reading go on.
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return true;
  std::vector<wchar_t> headers(size / sizeof(wchar_t) + 1);
  return WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS_CRLF,
                             WINHTTP_HEADER_NAME_BY_INDEX, headers.data(), &size,
                             WINHTTP_NO_HEADER_INDEX) != FALSE;
}

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

// A redirect is not followed (the request disables that), so a 3xx reply
// would be taken for the answer itself.
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

std::string PostForm(const char* url, const char* body, const PinSet& pins) {
  UrlParts parts;
  if (!url || !SplitUrl(url, parts)) return {};
  // A pin cannot protect plain http: refuse before anything is sent.
  if (!pins.digests.empty() && !parts.secure) return {};
  if (!body) body = "";
  const std::wstring host = Widen(parts.host);
  const std::wstring path = Widen(parts.path);
  const DWORD bodyLength = static_cast<DWORD>(std::char_traits<char>::length(body));

  // Declared in opening order, so they close in reverse: request, then
  // connection, then session.
  Handle session(WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return {};
  if (!WinHttpSetTimeouts(session.get(), kTimeoutMs, kTimeoutMs, kTimeoutMs, kTimeoutMs)) {
    return {};
  }
  Handle connection(WinHttpConnect(session.get(), host.c_str(),
                                   parts.secure ? INTERNET_DEFAULT_HTTPS_PORT
                                                : INTERNET_DEFAULT_HTTP_PORT,
                                   0));
  if (!connection) return {};
  Handle request(WinHttpOpenRequest(connection.get(), L"POST", path.c_str(), nullptr,
                                    WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                    parts.secure ? WINHTTP_FLAG_SECURE : 0));
  if (!request) return {};
  // WinHTTP follows redirects by default: as a GET to wherever Location
  // points, with the waived certificate checks carried over.
  DWORD feature = WINHTTP_DISABLE_REDIRECTS;
  if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature)) {
    return {};
  }
  if (parts.secure) {
    DWORD flags = kIgnoredCertificateFaults;
    if (!WinHttpSetOption(request.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags)) {
      return {};
    }
  }
  // The headers only, with the total length: the TLS handshake is over when
  // this returns, and no byte of the body has left.
  if (!WinHttpSendRequest(request.get(), kHeaders, static_cast<DWORD>(-1),
                          WINHTTP_NO_REQUEST_DATA, 0, bodyLength, 0)) {
    return {};
  }
  if (!pins.digests.empty()) {
    KeyDigest key;
    if (!ServerKeyDigest(request.get(), key) || !pins.Matches(key)) return {};
  }
  DWORD written = 0;
  if (!WinHttpWriteData(request.get(), body, bodyLength, &written)) return {};
  if (!WinHttpReceiveResponse(request.get(), nullptr)) return {};
  if (!FetchRawHeaders(request.get())) return {};
  if (IsRedirect(request.get())) return {};
  const std::size_t declared = DeclaredLength(request.get());
  if (declared == kBadLength) return {};
  std::string reply;
  std::size_t received = 0;
  if (!ReadBody(request.get(), reply, received)) return {};
  if (declared != kNoLength && received != declared) return {};
  return reply;
}

}  // namespace pb
