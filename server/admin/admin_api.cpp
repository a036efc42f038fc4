#include "server/admin/admin_api.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "server/admin/api_json.h"
#include "server/admin/credentials.h"
#include "server/admin/routes.h"
#include "server/admin_ui/assets.h"
#include "server/core/dates.h"
#include "server/core/rules.h"

namespace pbs::admin {
namespace {

constexpr std::string_view kCookie = "pbs_session";
constexpr int64_t kMicrosPerHour = 3600LL * 1000000;
// A token's last use is written at most this often (one write, not one a request).
constexpr int64_t kLastUsedEvery = 60LL * 1000000;
// The log's status filter reads this many rows at most per page asked.
constexpr std::size_t kLogScanRows = 20000;

const char kCsp[] =
    "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "frame-ancestors 'none'; base-uri 'none'; form-action 'self'";

// An answer other than 200, decided anywhere below; mapped to JSON once.
struct ApiError {
  int status;
  std::string code;
  std::string message;
  Json extra = Json::object();
  std::vector<std::pair<std::string, std::string>> headers = {};
};

ApiError BadInput(const std::string& message) { return {400, "bad_input", message}; }

std::optional<std::string> Header(const AdminInput& in, std::string_view name) {
  for (const auto& [n, v] : in.headers) {
    if (n == name) return v;
  }
  return std::nullopt;
}

std::optional<std::string> CookieValue(const AdminInput& in) {
  for (const auto& [n, v] : in.headers) {
    if (n != "cookie") continue;
    std::string_view rest = v;
    while (!rest.empty()) {
      const std::size_t semi = rest.find(';');
      std::string_view item = rest.substr(0, semi);
      rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
      while (!item.empty() && item.front() == ' ') item.remove_prefix(1);
      if (item.size() > kCookie.size() && item.substr(0, kCookie.size()) == kCookie && item[kCookie.size()] == '=') {
        return std::string(item.substr(kCookie.size() + 1));
      }
    }
  }
  return std::nullopt;
}

void SecurityHeaders(AdminAnswer& a) {
  a.headers.emplace_back("Cache-Control", "no-store");
  a.headers.emplace_back("X-Content-Type-Options", "nosniff");
  a.headers.emplace_back("Referrer-Policy", "no-referrer");
  a.headers.emplace_back("X-Frame-Options", "DENY");
  a.headers.emplace_back("Content-Security-Policy", kCsp);
}

AdminAnswer JsonAnswer(int status, const Json& doc) {
  AdminAnswer a;
  a.http_status = status;
  a.body = Dump(doc);
  SecurityHeaders(a);
  return a;
}

AdminAnswer ErrorAnswer(const ApiError& e) {
  Json doc = {{"error", e.code}, {"message", e.message}};
  for (const auto& [k, v] : e.extra.items()) doc[k] = v;
  AdminAnswer a = JsonAnswer(e.status, doc);
  for (const auto& h : e.headers) a.headers.push_back(h);
  return a;
}

// ---- reading the request -------------------------------------------------

Json ParseBody(const std::string& body, bool required) {
  if (body.empty()) {
    if (required) throw BadInput("body: a JSON object is required");
    return Json::object();
  }
  Json doc = Json::parse(body, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) throw BadInput("body: not a JSON object");
  return doc;
}

std::string StringField(const Json& doc, const char* name) {
  const auto it = doc.find(name);
  if (it == doc.end() || !it->is_string()) throw BadInput(std::string(name) + ": a string is required");
  return it->get<std::string>();
}

int64_t IntField(const Json& doc, const char* name, int64_t low, int64_t high) {
  const auto it = doc.find(name);
  if (it == doc.end() || !it->is_number_integer()) throw BadInput(std::string(name) + ": an integer is required");
  const int64_t v = it->get<int64_t>();
  if (v < low || v > high) {
    throw BadInput(std::string(name) + ": must be " + std::to_string(low) + " to " + std::to_string(high));
  }
  return v;
}

std::vector<std::string> StringList(const Json& doc, const char* name) {
  const auto it = doc.find(name);
  if (it == doc.end() || !it->is_array()) throw BadInput(std::string(name) + ": a list of strings is required");
  std::vector<std::string> out;
  for (const Json& item : *it) {
    if (!item.is_string()) throw BadInput(std::string(name) + ": a list of strings is required");
    out.push_back(item.get<std::string>());
  }
  return out;
}

std::vector<int32_t> TypeList(const Json& doc, const char* name) {
  const auto it = doc.find(name);
  if (it == doc.end() || !it->is_array()) throw BadInput(std::string(name) + ": a list of integers is required");
  std::vector<int32_t> out;
  for (const Json& item : *it) {
    if (!item.is_number_integer() || item.get<int64_t>() < INT32_MIN || item.get<int64_t>() > INT32_MAX) {
      throw BadInput(std::string(name) + ": a list of 32-bit integers is required");
    }
    out.push_back(static_cast<int32_t>(item.get<int64_t>()));
  }
  return out;
}

Pairs PairList(const Json& doc, const char* name) {
  const auto it = doc.find(name);
  if (it == doc.end() || !it->is_array()) throw BadInput(std::string(name) + ": a list of {name, value} is required");
  Pairs out;
  for (const Json& item : *it) {
    if (!item.is_object() || !item.contains("name") || !item.contains("value") || !item["name"].is_string() ||
        !item["value"].is_string()) {
      throw BadInput(std::string(name) + ": a list of {\"name\": TEXT, \"value\": TEXT} is required");
    }
    out.push_back({item["name"].get<std::string>(), item["value"].get<std::string>()});
  }
  return out;
}

std::optional<Date> ExpiresField(const Json& doc) {
  const Json& v = doc.at("expires");
  if (v.is_null()) return std::nullopt;
  if (!v.is_string()) throw BadInput("expires: YYYY-MM-DD or null");
  const std::optional<Date> d = ParseDate(v.get<std::string>());
  if (!d) throw BadInput("expires: YYYY-MM-DD or null");
  return d;
}

void OnlyFields(const Json& doc, std::initializer_list<const char*> known) {
  for (const auto& item : doc.items()) {
    if (std::none_of(known.begin(), known.end(), [&](const char* k) { return item.key() == k; })) {
      throw BadInput(item.key() + ": not a field of this request");
    }
  }
}

struct QueryArgs {
  std::map<std::string, std::string> values;

  std::optional<std::string> Text(const char* name) const {
    const auto it = values.find(name);
    if (it == values.end()) return std::nullopt;
    return it->second;
  }
  std::optional<int64_t> Int(const char* name, int64_t low, int64_t high) const {
    const std::optional<std::string> t = Text(name);
    if (!t) return std::nullopt;
    int64_t v = 0;
    if (t->empty() || t->size() > 18 || t->find_first_not_of("0123456789-") != std::string::npos) {
      throw BadInput(std::string(name) + ": an integer is required");
    }
    try {
      std::size_t used = 0;
      v = std::stoll(*t, &used);
      if (used != t->size()) throw BadInput(std::string(name) + ": an integer is required");
    } catch (const std::logic_error&) {
      throw BadInput(std::string(name) + ": an integer is required");
    }
    if (v < low || v > high) {
      throw BadInput(std::string(name) + ": must be " + std::to_string(low) + " to " + std::to_string(high));
    }
    return v;
  }
  std::optional<int64_t> Time(const char* name) const {
    const std::optional<std::string> t = Text(name);
    if (!t) return std::nullopt;
    const std::optional<int64_t> micros = ParseTime(*t);
    if (!micros) throw BadInput(std::string(name) + ": a time YYYY-MM-DDTHH:MM:SS.ffffffZ is required");
    return micros;
  }
};

// ---- who asks ---------------------------------------------------------------

struct Caller {
  std::string admin;
  std::string via;        // "session" or "token:<id>"
  Scope scope = Scope::kRead;
  std::optional<AdminSession> session;
};

class Handler {
 public:
  Handler(Database& db, SignInLimiter& limiter, const AdminInput& in)
      : db_(db), limiter_(limiter), in_(in), now_(ToMicros(in.received)) {}

  AdminAnswer Run() {
    const std::string_view target = in_.target;
    const std::size_t q = target.find('?');
    const std::string_view path = target.substr(0, q);
    const std::string_view query = q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    if (path.substr(0, 5) != "/api/" && path != "/api") return Asset(path);

    if (IsForeignOrigin(Header(in_, "origin"), Header(in_, "sec-fetch-site"), Header(in_, "host").value_or(""),
                        in_.https)) {
      throw ApiError{403, "foreign_origin", "requests from another origin are refused"};
    }
    const RouteMatch m = MatchRoute(in_.method, path);
    if (m.kind == RouteMatch::kNotFound) throw ApiError{404, "not_found", "no such route"};
    if (m.kind == RouteMatch::kWrongMethod) {
      throw ApiError{405, "method", "this path takes " + m.allow, Json::object(), {{"Allow", m.allow}}};
    }
    const auto parsed = ParseQuery(query);
    if (!parsed) throw BadInput("query: a bad escape or a name given twice");
    args_.values = *parsed;
    m_ = m;

    if (m.route == Route::kSessionPost) return SignIn();
    Authenticate();
    if (m.route == Route::kSessionGet) {
      if (!caller_.session) throw ApiError{401, "unauthorized", "no session"};
      return Ok({{"admin", caller_.admin}, {"csrf", caller_.session->csrf}});
    }
    if (IsChange(m.route) && caller_.session && !CsrfPasses(Header(in_, "x-csrf-token"), caller_.session->csrf)) {
      throw ApiError{403, "csrf", "X-CSRF-Token is missing or wrong"};
    }
    if (m.route == Route::kSessionDelete) return SignOut();
    if (!ScopeAllows(caller_.scope, RequiredScope(m.route))) {
      throw ApiError{403, "scope", "this credential may not do that"};
    }
    return Dispatch();
  }

 private:
  AdminAnswer Ok(const Json& doc, int status = 200) { return JsonAnswer(status, doc); }

  AdminAnswer Asset(std::string_view path) {
    if (in_.method != "GET" && in_.method != "HEAD") {
      throw ApiError{405, "method", "the dashboard's files take GET", Json::object(), {{"Allow", "GET, HEAD"}}};
    }
    const AdminAsset* asset = FindAdminAsset(path);
    if (!asset) throw ApiError{404, "not_found", "no such file"};
    AdminAnswer a;
    a.content_type = std::string(asset->content_type);
    a.body = std::string(asset->body);
    SecurityHeaders(a);
    return a;
  }

  // ---- credentials --------------------------------------------------------

  void Authenticate() {
    if (const std::optional<std::string> auth = Header(in_, "authorization")) {
      static constexpr std::string_view kBearer = "Bearer ";
      if (auth->size() <= kBearer.size() || auth->compare(0, kBearer.size(), kBearer) != 0) {
        throw ApiError{401, "unauthorized", "Authorization: Bearer pbt_... is required"};
      }
      const std::string secret = auth->substr(kBearer.size());
      if (secret.size() != 47 || secret.compare(0, 4, "pbt_") != 0) {
        throw ApiError{401, "unauthorized", "unknown or revoked token"};
      }
      const std::optional<ApiToken> token = db_.FindToken(Sha256Hex(secret));
      if (!token || token->revoked_micros) throw ApiError{401, "unauthorized", "unknown or revoked token"};
      caller_.admin = token->admin;
      caller_.via = "token:" + std::to_string(token->id);
      caller_.scope = token->scope;
      if (!token->last_used_micros || *token->last_used_micros + kLastUsedEvery <= now_) {
        db_.NoteTokenUsed(token->id, now_);
      }
      return;
    }
    if (const std::optional<std::string> cookie = CookieValue(in_)) {
      std::optional<AdminSession> session = db_.FindSession(Sha256Hex(*cookie), now_);
      if (session) {
        caller_.admin = session->admin;
        caller_.via = "session";
        caller_.scope = Scope::kFull;
        caller_.session = std::move(session);
        return;
      }
    }
    throw ApiError{401, "unauthorized", "sign in, or send Authorization: Bearer pbt_..."};
  }

  AdminAnswer SignIn() {
    const Json body = ParseBody(in_.body, true);
    const std::string name = StringField(body, "name");
    const std::string password = StringField(body, "password");
    if (name.size() > 64 || password.size() > kMaxPasswordLength) throw ApiError{401, "bad_credentials", "wrong name or password"};
    const auto steady = std::chrono::steady_clock::now();
    if (const long long wait = limiter_.WaitBefore(in_.peer, name, steady)) {
      throw ApiError{429, "too_many_attempts", "too many sign-in attempts; try again later", Json::object(),
                     {{"Retry-After", std::to_string(wait)}}};
    }
    const std::optional<Admin> admin = db_.FindAdmin(name);
    bool ok = false;
    if (admin) {
      ok = VerifyPassword(admin->password_hash, password);
    } else {
      VerifyNothing(password);
    }
    if (!ok) {
      limiter_.Failed(in_.peer, name, steady);
      throw ApiError{401, "bad_credentials", "wrong name or password"};
    }
    limiter_.Succeeded(name);
    const std::string secret = NewSecret();
    AdminSession s;
    s.digest = Sha256Hex(secret);
    s.admin = admin->name;
    s.csrf = NewSecret();
    s.peer = in_.peer;
    s.created_micros = now_;
    s.expires_micros = now_ + std::chrono::duration_cast<std::chrono::microseconds>(kSessionLifetime).count();
    db_.AddSession(s);
    AdminAnswer a = Ok({{"admin", s.admin}, {"csrf", s.csrf}});
    a.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + secret +
                                             "; Path=/; HttpOnly; SameSite=Strict" + (in_.https ? "; Secure" : ""));
    return a;
  }

  AdminAnswer SignOut() {
    if (!caller_.session) throw ApiError{401, "unauthorized", "no session"};
    db_.DeleteSession(caller_.session->digest);
    AdminAnswer a = Ok({{"signed_out", true}});
    a.headers.emplace_back("Set-Cookie", std::string(kCookie) +
                                             "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0" +
                                             (in_.https ? "; Secure" : ""));
    return a;
  }

  void Audit(const std::string& action, const std::string& subject, const Json& detail) {
    AuditRow row;
    row.time_micros = now_;
    row.actor = caller_.admin;
    row.via = caller_.via;
    row.peer = in_.peer;
    row.action = action;
    row.product = m_.product;
    row.subject = subject;
    row.detail = Dump(detail);
    db_.AppendAudit(row);
  }

  // ---- the routes -------------------------------------------------------------

  AdminAnswer Dispatch() {
    switch (m_.route) {
      case Route::kProducts: return Products();
      case Route::kLicenses: return Licenses();
      case Route::kLicense: return LicenseDetail();
      case Route::kLicenseCreate: return CreateLicense();
      case Route::kLicensePatch: return PatchLicense();
      case Route::kSuspend: return ChangeState(LicenseState::kSuspended, "license.suspend");
      case Route::kResume: return ChangeState(LicenseState::kActive, "license.resume");
      case Route::kRevoke: return ChangeState(LicenseState::kRevoked, "license.revoke");
      case Route::kExtend: return Extend();
      case Route::kSets: return Ok({{"sets", db_.ListSets(RequireProduct())}});
      case Route::kSet: return GetSet();
      case Route::kSetPut: return PutSet();
      case Route::kLog: return Log();
      case Route::kStats: return Stats();
      case Route::kAudit: return AuditLog();
      case Route::kTokens: return Tokens();
      default: throw ApiError{404, "not_found", "no such route"};
    }
  }

  const std::string& RequireProduct() {
    try {
      db_.GetProduct(m_.product);
    } catch (const Refused&) {
      throw ApiError{404, "not_found", "no product " + m_.product};
    }
    return m_.product;
  }

  std::optional<License> FindLicense(const std::string& id) {
    try {
      return db_.GetLicense(m_.product, id);
    } catch (const Refused&) {
      return std::nullopt;
    }
  }

  License RequireLicense() {
    RequireProduct();
    std::optional<License> l = FindLicense(m_.license);
    if (!l) throw ApiError{404, "not_found", "product " + m_.product + " has no license " + m_.license};
    return *l;
  }

  std::optional<FetchLogRow> LastFetchOf(const License& l, const std::map<std::string, FetchLogRow>& last) {
    std::optional<FetchLogRow> best;
    for (const std::string& account : l.accounts) {
      const auto it = last.find(account);
      if (it != last.end() && (!best || best->time < it->second.time)) best = it->second;
    }
    return best;
  }

  Json LicenseWithLastFetch(const License& l) {
    return LicenseJson(l, LastFetchOf(l, db_.LastFetches(m_.product, l.accounts)));
  }

  AdminAnswer Products() {
    Json list = Json::array();
    for (const Product& p : db_.ListProducts()) {
      list.push_back({{"name", p.name},
                      {"base_path", p.base_path},
                      {"trial_days", p.trial.days},
                      {"trial_set", p.trial.days > 0 ? Json(p.trial.set) : Json(nullptr)}});
    }
    return Ok({{"products", list}});
  }

  AdminAnswer Licenses() {
    RequireProduct();
    const std::string q = args_.Text("q").value_or("");
    std::optional<LicenseState> state;
    if (const auto s = args_.Text("state")) {
      state = ParseState(*s);
      if (!state) throw BadInput("state: active, suspended or revoked");
    }
    const std::optional<int64_t> expiring = args_.Int("expiring_days", 0, 36500);
    const std::size_t limit = static_cast<std::size_t>(args_.Int("limit", 1, 500).value_or(100));
    const std::optional<std::string> after = args_.Text("after");
    const Date today = DayOf(in_.received);

    std::vector<License> all = db_.ListLicenses(m_.product);
    std::sort(all.begin(), all.end(), [](const License& a, const License& b) { return a.id < b.id; });
    std::vector<License> page;
    bool more = false;
    for (License& l : all) {
      if (after && l.id <= *after) continue;
      if (state && l.state != *state) continue;
      if (expiring && (!l.expires || l.expires->days < today.days || l.expires->days > today.days + *expiring)) {
        continue;
      }
      if (!q.empty()) {
        bool hit = l.id.find(q) != std::string::npos || l.note.find(q) != std::string::npos;
        for (const std::string& a : l.accounts) hit = hit || a.find(q) != std::string::npos;
        if (!hit) continue;
      }
      if (page.size() == limit) {
        more = true;
        break;
      }
      page.push_back(std::move(l));
    }
    std::vector<std::string> accounts;
    for (const License& l : page) accounts.insert(accounts.end(), l.accounts.begin(), l.accounts.end());
    const std::map<std::string, FetchLogRow> last = db_.LastFetches(m_.product, accounts);
    Json list = Json::array();
    for (const License& l : page) list.push_back(LicenseJson(l, LastFetchOf(l, last)));
    return Ok({{"licenses", list}, {"next", more ? Json(page.back().id) : Json(nullptr)}});
  }

  AdminAnswer LicenseDetail() {
    const License l = RequireLicense();
    std::vector<FetchLogRow> rows;
    for (const std::string& account : l.accounts) {
      LogQuery lq;
      lq.product = m_.product;
      lq.account = account;
      lq.limit = 100;
      std::vector<FetchLogRow> some = db_.QueryLog(lq);
      rows.insert(rows.end(), some.begin(), some.end());
    }
    std::stable_sort(rows.begin(), rows.end(), [](const FetchLogRow& a, const FetchLogRow& b) { return a.time > b.time; });
    if (rows.size() > 100) rows.resize(100);
    Json fetches = Json::array();
    for (const FetchLogRow& r : rows) fetches.push_back(FetchJson(r));
    std::optional<FetchLogRow> last;
    if (!rows.empty()) last = rows.front();
    return Ok({{"license", LicenseJson(l, last)}, {"fetches", fetches}});
  }

  AdminAnswer CreateLicense() {
    RequireProduct();
    const Json body = ParseBody(in_.body, true);
    OnlyFields(body, {"id", "accounts", "max_accounts", "expires", "types", "set", "overrides", "note"});
    License l;
    l.id = StringField(body, "id");
    l.set = StringField(body, "set");
    if (body.contains("accounts")) l.accounts = StringList(body, "accounts");
    l.max_accounts = static_cast<uint32_t>(
        body.contains("max_accounts") ? IntField(body, "max_accounts", 1, kMaxAccountsPerLicense)
                                      : kMaxAccountsPerLicense);
    if (body.contains("expires")) l.expires = ExpiresField(body);
    if (body.contains("types")) l.types = TypeList(body, "types");
    if (body.contains("overrides")) l.overrides = PairList(body, "overrides");
    if (body.contains("note")) l.note = StringField(body, "note");
    if (const std::optional<License> existing = FindLicense(l.id)) Exists(*existing);
    try {
      db_.AddLicense(m_.product, l);
    } catch (const Refused&) {
      // Another request may have made it in between: then it is 409 too.
      if (const std::optional<License> existing = FindLicense(l.id)) Exists(*existing);
      throw;
    }
    const License stored = db_.GetLicense(m_.product, l.id);
    Audit("license.add", l.id, LicenseJson(stored, std::nullopt));
    return Ok({{"license", LicenseWithLastFetch(stored)}}, 201);
  }

  [[noreturn]] void Exists(const License& existing) {
    throw ApiError{409, "exists", "product " + m_.product + " has a license " + existing.id + " already",
                   Json{{"license", LicenseWithLastFetch(existing)}}};
  }

  AdminAnswer ChangeState(LicenseState to, const char* action) {
    const License current = RequireLicense();
    const Json body = ParseBody(in_.body, false);
    OnlyFields(body, {"reason"});
    const std::string reason = body.contains("reason") ? StringField(body, "reason") : "";
    if (current.state == to) return Ok({{"license", LicenseWithLastFetch(current)}});
    LicenseChange change;
    change.state = to;
    const License stored = db_.ChangeLicense(m_.product, m_.license, change);
    Audit(action, m_.license, {{"from", StateName(current.state)}, {"to", StateName(to)}, {"reason", reason}});
    return Ok({{"license", LicenseWithLastFetch(stored)}});
  }

  AdminAnswer Extend() {
    const License current = RequireLicense();
    const Json body = ParseBody(in_.body, true);
    OnlyFields(body, {"expires", "days"});
    if (body.contains("expires") == body.contains("days")) throw BadInput("expires or days: one of them is required");
    LicenseChange change;
    if (body.contains("expires")) {
      change.expires = ExpiresField(body);
    } else {
      const int64_t days = IntField(body, "days", 1, 36500);
      if (!current.expires) throw BadInput("days: license " + current.id + " never expires");
      const int32_t from = std::max(DayOf(in_.received).days, current.expires->days);
      change.expires = Date{static_cast<int32_t>(from + days)};
      if (!ParseDate(FormatDate(**change.expires))) throw BadInput("days: the expiry would be past 9999");
    }
    const License stored = db_.ChangeLicense(m_.product, m_.license, change);
    Audit("license.extend", m_.license,
          {{"from", current.expires ? Json(FormatDate(*current.expires)) : Json(nullptr)},
           {"to", stored.expires ? Json(FormatDate(*stored.expires)) : Json(nullptr)}});
    return Ok({{"license", LicenseWithLastFetch(stored)}});
  }

  AdminAnswer PatchLicense() {
    const License current = RequireLicense();
    const Json body = ParseBody(in_.body, true);
    OnlyFields(body, {"accounts_add", "accounts_remove", "max_accounts", "types", "set", "overrides", "note"});
    if (body.empty()) throw BadInput("body: name at least one field to change");
    LicenseChange change;
    if (body.contains("accounts_add")) change.add_accounts = StringList(body, "accounts_add");
    if (body.contains("accounts_remove")) change.remove_accounts = StringList(body, "accounts_remove");
    if (body.contains("max_accounts")) {
      change.max_accounts = static_cast<uint32_t>(IntField(body, "max_accounts", 1, kMaxAccountsPerLicense));
    }
    if (body.contains("types")) change.types = TypeList(body, "types");
    if (body.contains("set")) change.set = StringField(body, "set");
    if (body.contains("overrides")) {
      // The list given becomes the license's overrides.
      change.overrides = PairList(body, "overrides");
      for (const Pair& o : current.overrides) {
        if (std::none_of(change.overrides.begin(), change.overrides.end(),
                         [&](const Pair& p) { return p.name == o.name; })) {
          change.clear_overrides.push_back(o.name);
        }
      }
    }
    if (body.contains("note")) change.note = StringField(body, "note");
    const License stored = db_.ChangeLicense(m_.product, m_.license, change);
    Audit("license.update", m_.license, body);
    return Ok({{"license", LicenseWithLastFetch(stored)}});
  }

  AdminAnswer GetSet() {
    RequireProduct();
    Pairs pairs;
    try {
      pairs = db_.GetSet(m_.product, m_.set);
    } catch (const Refused&) {
      throw ApiError{404, "not_found", "product " + m_.product + " has no set " + m_.set};
    }
    return Ok(SetJson(pairs));
  }

  Json SetJson(const Pairs& pairs) {
    Json list = Json::array();
    for (const Pair& p : pairs) list.push_back({{"name", p.name}, {"value", p.value}});
    return {{"name", m_.set}, {"pairs", list}};
  }

  AdminAnswer PutSet() {
    RequireProduct();
    const Json body = ParseBody(in_.body, true);
    OnlyFields(body, {"pairs"});
    const Pairs pairs = PairList(body, "pairs");
    db_.PutSet(m_.product, m_.set, pairs);
    Audit("set.put", m_.set, {{"pairs", pairs.size()}});
    return Ok(SetJson(db_.GetSet(m_.product, m_.set)));
  }

  AdminAnswer Log() {
    RequireProduct();
    const std::size_t limit = static_cast<std::size_t>(args_.Int("limit", 1, 1000).value_or(100));
    const std::optional<int64_t> status = args_.Int("status", 0, 999);
    LogQuery lq;
    lq.product = m_.product;
    lq.account = args_.Text("account");
    lq.since_micros = args_.Time("since");
    lq.before_micros = args_.Time("before");
    lq.limit = status ? 1000 : limit + 1;
    std::vector<FetchLogRow> page;
    bool more = false;
    std::optional<int64_t> scanned_to;
    // Newest first; with a status filter, batches are read until the page
    // is full, the log ends or kLogScanRows were read (the cursor then
    // points where reading stopped).
    for (std::size_t read = 0;;) {
      std::vector<FetchLogRow> rows = db_.QueryLog(lq);   // oldest first
      read += rows.size();
      for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        scanned_to = ToMicros(it->time);
        if (status && it->status != *status) continue;
        if (page.size() == limit) {
          more = true;
          break;
        }
        page.push_back(*it);
      }
      if (more || rows.size() < lq.limit || !status) break;
      if (read >= kLogScanRows) {
        more = true;
        break;
      }
      lq.before_micros = ToMicros(rows.front().time);
    }
    Json list = Json::array();
    for (const FetchLogRow& r : page) list.push_back(FetchJson(r));
    std::optional<int64_t> next;
    if (more) next = page.size() == limit ? ToMicros(page.back().time) : scanned_to;
    return Ok({{"fetches", list}, {"next", OptionalTime(next)}});
  }

  AdminAnswer Stats() {
    RequireProduct();
    const int64_t hours = args_.Int("hours", 1, 720).value_or(72);
    const int64_t this_hour = now_ / kMicrosPerHour * kMicrosPerHour;
    const int64_t since = this_hour - (hours - 1) * kMicrosPerHour;
    std::map<int64_t, std::map<int, uint64_t>> by_hour;
    std::map<int, uint64_t> refusals;
    for (const LogStatsRow& r : db_.LogStats(m_.product, since)) {
      by_hour[r.hour_micros][r.status] += r.count;
      if (r.status != kGranted) refusals[r.status] += r.count;
    }
    Json list = Json::array();
    for (int64_t h = since; h <= this_hour; h += kMicrosPerHour) {
      uint64_t total = 0;
      Json statuses = Json::object();
      for (const auto& [status, count] : by_hour[h]) {
        statuses[std::to_string(status)] = count;
        total += count;
      }
      list.push_back({{"hour", FormatMicros(h)}, {"fetches", total}, {"by_status", statuses}});
    }
    Json refused = Json::object();
    for (const auto& [status, count] : refusals) refused[std::to_string(status)] = count;
    return Ok({{"hours", list}, {"refusals_by_status", refused}});
  }

  AdminAnswer AuditLog() {
    AuditQuery aq;
    aq.product = args_.Text("product");
    aq.before_id = args_.Int("before", 1, INT64_MAX / 2);
    aq.limit = static_cast<std::size_t>(args_.Int("limit", 1, 1000).value_or(100));
    const std::vector<AuditRow> rows = db_.QueryAudit(aq);
    Json list = Json::array();
    for (const AuditRow& r : rows) list.push_back(AuditJson(r));
    const bool more = rows.size() == aq.limit;
    return Ok({{"audit", list}, {"next", more ? Json(rows.back().id) : Json(nullptr)}});
  }

  AdminAnswer Tokens() {
    Json list = Json::array();
    for (const ApiToken& t : db_.ListTokens()) list.push_back(TokenJson(t));
    return Ok({{"tokens", list}});
  }

  Database& db_;
  SignInLimiter& limiter_;
  const AdminInput& in_;
  const int64_t now_;
  RouteMatch m_;
  QueryArgs args_;
  Caller caller_;
};

}  // namespace

AdminAnswer AdminApi::Answer(const AdminInput& in) {
  try {
    return Handler(db_, *limiter_, in).Run();
  } catch (const ApiError& e) {
    return ErrorAnswer(e);
  } catch (const Refused& e) {
    return ErrorAnswer(BadInput(e.what()));
  } catch (const DatabaseUnavailable& e) {
    return ErrorAnswer({503, "unavailable", std::string("the database cannot answer now: ") + e.what()});
  } catch (const std::exception& e) {
    return ErrorAnswer({503, "unavailable", e.what()});
  }
}

}  // namespace pbs::admin
