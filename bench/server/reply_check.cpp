#include "bench/server/reply_check.h"

#include <cctype>
#include <charconv>
#include <optional>

namespace pbbench {
namespace {

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::optional<std::size_t> ParseCount(std::string_view s) {
  std::size_t n = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  if (ec != std::errc() || end != s.data() + s.size() || s.empty()) return std::nullopt;
  return n;
}

struct Header {
  int status = 0;
  std::optional<std::size_t> content_length;
  bool chunked = false;
  bool readable = false;
};

// The status line and the headers that decide where the body ends.
Header ReadHeader(std::string_view head) {
  Header h;
  std::size_t eol = head.find("\r\n");
  std::string_view status_line = head.substr(0, eol);
  if (status_line.size() < 12 || status_line.substr(0, 7) != "HTTP/1." || status_line[8] != ' ')
    return h;
  auto status = ParseCount(status_line.substr(9, 3));
  if (!status || (status_line.size() > 12 && status_line[12] != ' ')) return h;
  h.status = static_cast<int>(*status);
  while (eol != std::string_view::npos && eol + 2 < head.size()) {
    std::size_t start = eol + 2;
    eol = head.find("\r\n", start);
    std::string_view line = head.substr(start, eol == std::string_view::npos ? eol : eol - start);
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return h;
    std::string_view name = line.substr(0, colon), value = Trim(line.substr(colon + 1));
    if (EqualsNoCase(name, "Content-Length")) {
      auto n = ParseCount(value);
      if (!n || (h.content_length && *h.content_length != *n)) return h;
      h.content_length = n;
    } else if (EqualsNoCase(name, "Transfer-Encoding")) {
      h.chunked = true;
    }
  }
  h.readable = true;
  return h;
}

}  // namespace

Verdict Judge(std::string_view bytes, bool at_end, const ExpectedReply& expected) {
  if (bytes.size() > kMaxReplyBytes) return Verdict::kWrong;
  std::size_t header_end = bytes.find("\r\n\r\n");
  if (header_end == std::string_view::npos) return at_end ? Verdict::kWrong : Verdict::kIncomplete;
  Header h = ReadHeader(bytes.substr(0, header_end));
  if (!h.readable || h.chunked) return Verdict::kWrong;
  std::string_view body = bytes.substr(header_end + 4);
  if (h.content_length) {
    if (body.size() < *h.content_length) return at_end ? Verdict::kWrong : Verdict::kIncomplete;
    body = body.substr(0, *h.content_length);
  } else if (!at_end) {
    return Verdict::kIncomplete;
  }
  if (h.status == 503 && body.empty()) return Verdict::kUnavailable;
  if (h.status == expected.status && body == expected.body) return Verdict::kServed;
  return Verdict::kWrong;
}

}  // namespace pbbench
