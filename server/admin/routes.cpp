#include "server/admin/routes.h"

#include <sodium.h>

#include <vector>

namespace pbs::admin {
namespace {

std::vector<std::string_view> Split(std::string_view path) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t slash = path.find('/', at);
    const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
    out.push_back(path.substr(at, end - at));
    if (slash == std::string_view::npos) break;
    at = slash + 1;
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

RouteMatch Found(Route r) {
  RouteMatch m;
  m.kind = RouteMatch::kFound;
  m.route = r;
  return m;
}

RouteMatch WrongMethod(const char* allow) {
  RouteMatch m;
  m.kind = RouteMatch::kWrongMethod;
  m.allow = allow;
  return m;
}

// One path's routes by method.
struct Methods {
  std::optional<Route> get, post, put, patch, del;
  const char* allow;
};

RouteMatch Pick(std::string_view method, const Methods& m) {
  std::optional<Route> r;
  if (method == "GET" || method == "HEAD") r = m.get;
  else if (method == "POST") r = m.post;
  else if (method == "PUT") r = m.put;
  else if (method == "PATCH") r = m.patch;
  else if (method == "DELETE") r = m.del;
  if (r) return Found(*r);
  return WrongMethod(m.allow);
}

}  // namespace

std::optional<std::string> PercentDecode(std::string_view text, bool plus_is_space) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size()) return std::nullopt;
      const int hi = HexValue(text[i + 1]), lo = HexValue(text[i + 2]);
      if (hi < 0 || lo < 0) return std::nullopt;
      out.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    } else if (c == '+' && plus_is_space) {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<std::map<std::string, std::string>> ParseQuery(std::string_view query) {
  std::map<std::string, std::string> out;
  std::size_t at = 0;
  while (at < query.size()) {
    std::size_t amp = query.find('&', at);
    if (amp == std::string_view::npos) amp = query.size();
    const std::string_view item = query.substr(at, amp - at);
    at = amp + 1;
    if (item.empty()) continue;
    const std::size_t eq = item.find('=');
    const auto name = PercentDecode(item.substr(0, eq), true);
    const auto value = PercentDecode(eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1), true);
    if (!name || !value) return std::nullopt;
    if (!out.emplace(*name, *value).second) return std::nullopt;
  }
  return out;
}

RouteMatch MatchRoute(std::string_view method, std::string_view path) {
  std::vector<std::string_view> raw = Split(path);
  // "/api/v1/x" splits to "", "api", "v1", "x".
  if (raw.size() < 4 || !raw[0].empty() || raw[1] != "api" || raw[2] != "v1") return {};
  std::vector<std::string> s;
  for (std::size_t i = 3; i < raw.size(); ++i) {
    if (raw[i].empty()) return {};
    auto decoded = PercentDecode(raw[i], false);
    if (!decoded || decoded->empty()) return {};
    s.push_back(std::move(*decoded));
  }
  const std::size_t n = s.size();
  RouteMatch m;
  if (n == 1 && s[0] == "session") {
    m = Pick(method, {Route::kSessionGet, Route::kSessionPost, {}, {}, Route::kSessionDelete, "GET, POST, DELETE"});
  } else if (n == 1 && s[0] == "products") {
    m = Pick(method, {Route::kProducts, {}, {}, {}, {}, "GET"});
  } else if (n == 1 && s[0] == "audit") {
    m = Pick(method, {Route::kAudit, {}, {}, {}, {}, "GET"});
  } else if (n == 1 && s[0] == "tokens") {
    m = Pick(method, {Route::kTokens, {}, {}, {}, {}, "GET"});
  } else if (n >= 3 && s[0] == "products") {
    if (n == 3 && s[2] == "licenses") {
      m = Pick(method, {Route::kLicenses, Route::kLicenseCreate, {}, {}, {}, "GET, POST"});
    } else if (n == 4 && s[2] == "licenses") {
      m = Pick(method, {Route::kLicense, {}, {}, Route::kLicensePatch, {}, "GET, PATCH"});
      m.license = s[3];
    } else if (n == 5 && s[2] == "licenses") {
      const std::string& verb = s[4];
      const std::optional<Route> r = verb == "suspend" ? std::optional<Route>(Route::kSuspend)
                                     : verb == "resume" ? std::optional<Route>(Route::kResume)
                                     : verb == "revoke" ? std::optional<Route>(Route::kRevoke)
                                     : verb == "extend" ? std::optional<Route>(Route::kExtend)
                                                        : std::nullopt;
      if (!r) return {};
      m = Pick(method, {{}, *r, {}, {}, {}, "POST"});
      m.license = s[3];
    } else if (n == 3 && s[2] == "sets") {
      m = Pick(method, {Route::kSets, {}, {}, {}, {}, "GET"});
    } else if (n == 4 && s[2] == "sets") {
      m = Pick(method, {Route::kSet, {}, Route::kSetPut, {}, {}, "GET, PUT"});
      m.set = s[3];
    } else if (n == 3 && s[2] == "log") {
      m = Pick(method, {Route::kLog, {}, {}, {}, {}, "GET"});
    } else if (n == 3 && s[2] == "stats") {
      m = Pick(method, {Route::kStats, {}, {}, {}, {}, "GET"});
    } else {
      return {};
    }
    m.product = s[1];
  } else {
    return {};
  }
  return m;
}

Scope RequiredScope(Route route) {
  switch (route) {
    case Route::kSuspend:
    case Route::kRevoke:
      return Scope::kRevoke;
    case Route::kLicenseCreate:
    case Route::kLicensePatch:
    case Route::kResume:
    case Route::kExtend:
    case Route::kSetPut:
    case Route::kTokens:
      return Scope::kFull;
    default:
      return Scope::kRead;
  }
}

bool ScopeAllows(Scope have, Scope need) {
  auto rank = [](Scope s) { return s == Scope::kRead ? 0 : s == Scope::kRevoke ? 1 : 2; };
  return rank(have) >= rank(need);
}

bool IsChange(Route route) {
  switch (route) {
    case Route::kLicenseCreate:
    case Route::kLicensePatch:
    case Route::kSuspend:
    case Route::kResume:
    case Route::kRevoke:
    case Route::kExtend:
    case Route::kSetPut:
    case Route::kSessionDelete:
      return true;
    default:
      return false;
  }
}

bool IsForeignOrigin(const std::optional<std::string>& origin, const std::optional<std::string>& fetch_site,
                     const std::string& host, bool https) {
  if (fetch_site && *fetch_site == "cross-site") return true;
  if (!origin) return false;
  // "null" (a sandboxed page, a file) is no origin of ours either.
  return *origin != std::string(https ? "https://" : "http://") + host;
}

bool CsrfPasses(const std::optional<std::string>& sent, const std::string& expected) {
  if (!sent || expected.empty() || sent->size() != expected.size()) return false;
  return sodium_memcmp(sent->data(), expected.data(), expected.size()) == 0;
}

}  // namespace pbs::admin
