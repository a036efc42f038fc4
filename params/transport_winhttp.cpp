// PostForm over WinHTTP in synchronous mode.
#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>
#include <vector>

#include "params/form.h"
#include "params/server_key.h"
#include "params/transport.h"
#include "params/whole_reply.h"

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
  std::string reply;
  if (!ReadWholeReply(request.get(), reply)) return {};
  return reply;
}

}  // namespace pb
