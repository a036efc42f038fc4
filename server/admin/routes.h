// The admin API's pure parts: which route a request names, what scope it
// needs, the query string, and whether a request from a browser may pass
// (its origin, its CSRF token). No sockets, no database: tested as tables.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>

#include "server/db/database.h"

namespace pbs::admin {

enum class Route {
  kSessionGet, kSessionPost, kSessionDelete,
  kProducts,
  kLicenses, kLicenseCreate, kLicense, kLicensePatch,
  kSuspend, kResume, kRevoke, kExtend,
  kSets, kSet, kSetPut,
  kLog, kStats, kAudit, kTokens,
};

struct RouteMatch {
  enum Kind { kNotFound, kWrongMethod, kFound } kind = kNotFound;
  Route route = Route::kProducts;
  std::string allow;     // kWrongMethod: the methods the path takes, e.g. "GET, POST"
  std::string product, license, set;   // percent-decoded path segments
};

// `path` is the target without its query. Segments are percent-decoded after
// the split (an encoded '/' stays inside its segment); a bad escape or an
// empty segment is kNotFound.
RouteMatch MatchRoute(std::string_view method, std::string_view path);

// The scope a credential needs for the route (the session routes need none).
Scope RequiredScope(Route route);
bool ScopeAllows(Scope have, Scope need);
// True for the routes that change something (they need the CSRF header
// with a session, and leave an audit row).
bool IsChange(Route route);

// "%41b+c" -> "Ab c" ('+' is a space only when `plus_is_space`); none for
// a bad escape.
std::optional<std::string> PercentDecode(std::string_view text, bool plus_is_space);

// "a=1&b=2" -> {a: 1, b: 2}; none for a bad escape or a name given twice.
std::optional<std::map<std::string, std::string>> ParseQuery(std::string_view query);

// A browser's request names its origin; one that is not this listener's own
// is refused before anything else. `origin`: the Origin header; `fetch_site`:
// Sec-Fetch-Site; `host`: the Host header; `https`: how it arrived. True when
// the request comes from another origin.
bool IsForeignOrigin(const std::optional<std::string>& origin, const std::optional<std::string>& fetch_site,
                     const std::string& host, bool https);

// A change made with a session cookie must send the session's CSRF token
// back in X-CSRF-Token. True when this request may pass.
bool CsrfPasses(const std::optional<std::string>& sent, const std::string& expected);

}  // namespace pbs::admin
