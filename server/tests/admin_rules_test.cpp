// The admin API's pure parts as tables: routes, query strings, scopes, the
// origin and CSRF decisions, the sign-in limit, times, and the credentials'
// formats. No sockets, no database.
#include <gtest/gtest.h>

#include <string>

#include "server/admin/api_json.h"
#include "server/admin/credentials.h"
#include "server/admin/routes.h"
#include "server/admin/sign_in_limiter.h"

namespace {

using pbs::Scope;
using pbs::admin::Route;
using pbs::admin::RouteMatch;

TEST(AdminRoutes, MatchTable) {
  const struct {
    const char* method;
    const char* path;
    RouteMatch::Kind kind;
    Route route;
    const char* product;
    const char* id;       // the license or the set
    const char* allow;
  } rows[] = {
      {"GET", "/api/v1/products", RouteMatch::kFound, Route::kProducts, "", "", ""},
      {"HEAD", "/api/v1/products", RouteMatch::kFound, Route::kProducts, "", "", ""},
      {"POST", "/api/v1/products", RouteMatch::kWrongMethod, Route::kProducts, "", "", "GET"},
      {"GET", "/api/v1/products/", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
      {"GET", "/api/v1/products/pb/licenses", RouteMatch::kFound, Route::kLicenses, "pb", "", ""},
      {"POST", "/api/v1/products/pb/licenses", RouteMatch::kFound, Route::kLicenseCreate, "pb", "", ""},
      {"DELETE", "/api/v1/products/pb/licenses", RouteMatch::kWrongMethod, Route::kProducts, "", "", "GET, POST"},
      {"GET", "/api/v1/products/pb/licenses/order%2F7", RouteMatch::kFound, Route::kLicense, "pb", "order/7", ""},
      {"PATCH", "/api/v1/products/pb/licenses/A%20B", RouteMatch::kFound, Route::kLicensePatch, "pb", "A B", ""},
      {"GET", "/api/v1/products/pb/licenses/%zz", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
      {"GET", "/api/v1/products/pb/licenses/%4", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
      {"POST", "/api/v1/products/pb/licenses/L1/suspend", RouteMatch::kFound, Route::kSuspend, "pb", "L1", ""},
      {"POST", "/api/v1/products/pb/licenses/L1/resume", RouteMatch::kFound, Route::kResume, "pb", "L1", ""},
      {"POST", "/api/v1/products/pb/licenses/L1/revoke", RouteMatch::kFound, Route::kRevoke, "pb", "L1", ""},
      {"GET", "/api/v1/products/pb/licenses/L1/revoke", RouteMatch::kWrongMethod, Route::kProducts, "", "", "POST"},
      {"POST", "/api/v1/products/pb/licenses/L1/extend", RouteMatch::kFound, Route::kExtend, "pb", "L1", ""},
      {"POST", "/api/v1/products/pb/licenses/L1/delete", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
      {"GET", "/api/v1/products/pb/sets", RouteMatch::kFound, Route::kSets, "pb", "", ""},
      {"PUT", "/api/v1/products/pb/sets/gold", RouteMatch::kFound, Route::kSetPut, "pb", "gold", ""},
      {"GET", "/api/v1/products/pb/log", RouteMatch::kFound, Route::kLog, "pb", "", ""},
      {"GET", "/api/v1/products/pb/stats", RouteMatch::kFound, Route::kStats, "pb", "", ""},
      {"GET", "/api/v1/products/pb/other", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
      {"GET", "/api/v1/audit", RouteMatch::kFound, Route::kAudit, "", "", ""},
      {"GET", "/api/v1/tokens", RouteMatch::kFound, Route::kTokens, "", "", ""},
      {"DELETE", "/api/v1/session", RouteMatch::kFound, Route::kSessionDelete, "", "", ""},
      {"PUT", "/api/v1/session", RouteMatch::kWrongMethod, Route::kProducts, "", "", "GET, POST, DELETE"},
      {"GET", "/api/v2/products", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
      {"GET", "/api/v1//products", RouteMatch::kNotFound, Route::kProducts, "", "", ""},
  };
  for (const auto& r : rows) {
    const RouteMatch m = pbs::admin::MatchRoute(r.method, r.path);
    const std::string what = std::string(r.method) + " " + r.path;
    EXPECT_EQ(m.kind, r.kind) << what;
    if (r.kind == RouteMatch::kFound) {
      EXPECT_EQ(m.route, r.route) << what;
      EXPECT_EQ(m.product, std::string(r.product)) << what;
      EXPECT_EQ(m.license + m.set, r.id) << what;
    }
    if (r.kind == RouteMatch::kWrongMethod) {
      EXPECT_EQ(m.allow, r.allow) << what;
    }
  }
}

TEST(AdminRoutes, ScopeTable) {
  const struct {
    Route route;
    bool read, revoke, full;
  } rows[] = {
      {Route::kProducts, true, true, true},   {Route::kLicenses, true, true, true},
      {Route::kLicense, true, true, true},    {Route::kLog, true, true, true},
      {Route::kStats, true, true, true},      {Route::kAudit, true, true, true},
      {Route::kSets, true, true, true},       {Route::kSet, true, true, true},
      {Route::kSuspend, false, true, true},   {Route::kRevoke, false, true, true},
      {Route::kResume, false, false, true},   {Route::kExtend, false, false, true},
      {Route::kLicenseCreate, false, false, true}, {Route::kLicensePatch, false, false, true},
      {Route::kSetPut, false, false, true},   {Route::kTokens, false, false, true},
  };
  for (const auto& r : rows) {
    const Scope need = pbs::admin::RequiredScope(r.route);
    EXPECT_EQ(pbs::admin::ScopeAllows(Scope::kRead, need), r.read) << static_cast<int>(r.route);
    EXPECT_EQ(pbs::admin::ScopeAllows(Scope::kRevoke, need), r.revoke) << static_cast<int>(r.route);
    EXPECT_EQ(pbs::admin::ScopeAllows(Scope::kFull, need), r.full) << static_cast<int>(r.route);
  }
}

TEST(AdminRoutes, QueryTable) {
  const struct {
    const char* query;
    bool ok;
    std::map<std::string, std::string> values;
  } rows[] = {
      {"", true, {}},
      {"q=abc&limit=5", true, {{"q", "abc"}, {"limit", "5"}}},
      {"q=a+b%2Bc", true, {{"q", "a b+c"}}},
      {"q=", true, {{"q", ""}}},
      {"flag", true, {{"flag", ""}}},
      {"&&q=1&", true, {{"q", "1"}}},
      {"q=1&q=2", false, {}},
      {"q=%G1", false, {}},
      {"q=%", false, {}},
  };
  for (const auto& r : rows) {
    const auto got = pbs::admin::ParseQuery(r.query);
    EXPECT_EQ(got.has_value(), r.ok) << r.query;
    if (got && r.ok) {
      EXPECT_EQ(*got, r.values) << r.query;
    }
  }
}

TEST(AdminRoutes, OriginAndCsrfTable) {
  using O = std::optional<std::string>;
  const struct {
    O origin, fetch_site;
    const char* host;
    bool https, foreign;
  } origins[] = {
      {std::nullopt, std::nullopt, "127.0.0.1:9180", false, false},   // curl, a shop's hook
      {O("http://127.0.0.1:9180"), O("same-origin"), "127.0.0.1:9180", false, false},
      {O("https://admin.example.com"), std::nullopt, "admin.example.com", true, false},
      {O("http://admin.example.com"), std::nullopt, "admin.example.com", true, true},   // scheme differs
      {O("http://evil.example"), std::nullopt, "127.0.0.1:9180", false, true},
      {O("null"), std::nullopt, "127.0.0.1:9180", false, true},
      {std::nullopt, O("cross-site"), "127.0.0.1:9180", false, true},
      {std::nullopt, O("same-site"), "127.0.0.1:9180", false, false},
  };
  for (const auto& r : origins) {
    EXPECT_EQ(pbs::admin::IsForeignOrigin(r.origin, r.fetch_site, r.host, r.https), r.foreign)
        << r.origin.value_or("-") << " " << r.fetch_site.value_or("-") << " " << r.host;
  }
  const struct {
    O sent;
    const char* expected;
    bool passes;
  } csrf[] = {
      {O("tok"), "tok", true}, {std::nullopt, "tok", false}, {O(""), "tok", false},
      {O("tok2"), "tok", false}, {O("tox"), "tok", false}, {O(""), "", false},
  };
  for (const auto& r : csrf) EXPECT_EQ(pbs::admin::CsrfPasses(r.sent, r.expected), r.passes) << r.sent.value_or("-");
}

TEST(AdminSignIn, LimiterTable) {
  pbs::admin::SignInLimiter::Limits limits;
  limits.per_address = 4;
  limits.per_name = 2;
  limits.window = std::chrono::seconds(60);
  pbs::admin::SignInLimiter limiter(limits);
  const auto t0 = std::chrono::steady_clock::time_point() + std::chrono::hours(1);
  using std::chrono::seconds;
  const struct {
    const char* what;
    char step;   // 'f' a failure, 's' a success, '?' ask
    const char* address;
    const char* name;
    int at;      // seconds after t0
    long long wait;   // for '?'
  } rows[] = {
      {"first attempt", '?', "a1", "alice", 0, 0},
      {"", 'f', "a1", "alice", 0, 0},
      {"one failure is fine", '?', "a1", "alice", 1, 0},
      {"", 'f', "a1", "alice", 10, 0},
      {"two failures for the name", '?', "a1", "alice", 10, 50},
      {"from another address too", '?', "a2", "alice", 10, 50},
      {"another name from a1", '?', "a1", "bob", 10, 0},
      {"", 'f', "a1", "bob", 11, 0},
      {"", 'f', "a1", "carol", 12, 0},
      {"four failures from a1", '?', "a1", "dave", 12, 48},
      {"the oldest leaves the window", '?', "a1", "dave", 60, 0},
      {"the name's first failure left", '?', "a3", "alice", 60, 0},
      {"", 'f', "a3", "erin", 61, 0},
      {"", 's', "a3", "erin", 62, 0},
      {"a success clears the name", '?', "a3", "erin", 62, 0},
  };
  for (const auto& r : rows) {
    const auto now = t0 + seconds(r.at);
    if (r.step == 'f') limiter.Failed(r.address, r.name, now);
    if (r.step == 's') limiter.Succeeded(r.name);
    if (r.step == '?') {
      EXPECT_EQ(limiter.WaitBefore(r.address, r.name, now), r.wait) << r.what;
    }
  }
}

TEST(AdminJson, TimeTable) {
  const struct {
    const char* text;
    std::optional<int64_t> micros;
  } rows[] = {
      {"1970-01-01", 0},
      {"1970-01-02T00:01", 86460000000LL},
      {"1970-01-01T00:00:01Z", 1000000},
      {"1970-01-01T00:00:01.5Z", 1500000},
      {"1970-01-01T00:00:01.000002Z", 1000002},
      {"1970-01-01T00:00:01.0000001Z", std::nullopt},
      {"1970-01-01T00:00:60Z", std::nullopt},
      {"1970-01-01T00:00:01", std::nullopt},
      {"1970-01-01T00:00:0aZ", std::nullopt},
      {"yesterday", std::nullopt},
  };
  for (const auto& r : rows) EXPECT_EQ(pbs::admin::ParseTime(r.text), r.micros) << r.text;
}

TEST(AdminCredentials, FormatsAndHashes) {
  const std::string token = pbs::admin::NewApiToken();
  EXPECT_EQ(token.size(), 47u) << token;
  EXPECT_EQ(token.substr(0, 4), "pbt_");
  EXPECT_EQ(token.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_", 4),
            std::string::npos);
  EXPECT_NE(pbs::admin::NewApiToken(), token);
  EXPECT_EQ(pbs::admin::Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string hash = pbs::admin::HashPassword("correct horse battery");
  EXPECT_EQ(hash.substr(0, 10), "$argon2id$");
  const struct {
    std::string hash, password;
    bool ok;
  } rows[] = {
      {hash, "correct horse battery", true},
      {hash, "correct horse batterY", false},
      {hash, "", false},
      {"", "correct horse battery", false},
      {"$argon2id$garbage", "correct horse battery", false},
      {std::string(200, 'x'), "x", false},
  };
  for (const auto& r : rows) EXPECT_EQ(pbs::admin::VerifyPassword(r.hash, r.password), r.ok) << r.password;
}

}  // namespace
