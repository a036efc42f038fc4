#include "server/db/postgres_admin.h"

namespace pbs::pg {
namespace {

constexpr std::size_t kMaxAuditRows = 1000;   // a page of the audit log at most

const char* ScopeName(Scope scope) {
  switch (scope) {
    case Scope::kRead: return "read";
    case Scope::kRevoke: return "revoke";
    case Scope::kFull: return "full";
  }
  return "read";
}

Scope ParseScope(const std::string& text) {
  if (text == "full") return Scope::kFull;
  if (text == "revoke") return Scope::kRevoke;
  return Scope::kRead;   // the narrowest for anything unexpected
}

std::optional<int64_t> OptionalInt(const Result& r, int row, int column) {
  if (r.IsNull(row, column)) return std::nullopt;
  return r.Int(row, column);
}

constexpr const char* kTokenColumns =
    "SELECT id, admin, label, scope, digest, created_us, revoked_us, last_used_us FROM api_tokens";

ApiToken TokenRow(const Result& r, int i) {
  ApiToken t;
  t.id = r.Int(i, 0);
  t.admin = r.Text(i, 1);
  t.label = r.Text(i, 2);
  t.scope = ParseScope(r.Text(i, 3));
  t.digest = r.Text(i, 4);
  t.created_micros = r.Int(i, 5);
  t.revoked_micros = OptionalInt(r, i, 6);
  t.last_used_micros = OptionalInt(r, i, 7);
  return t;
}

}  // namespace

bool AdminStore::AdminExists(const std::string& name) {
  return s_.Exec("SELECT 1 FROM admins WHERE name = $1", {name}).Rows() > 0;
}

void AdminStore::AddAdmin(const Admin& admin) {
  if (admin.name.empty() || admin.name.size() > 64) throw Refused("an admin's name is 1 to 64 bytes");
  s_.Transact(TxKind::kWrite, [&] {
    if (AdminExists(admin.name)) throw Refused("admin " + admin.name + " exists already");
    s_.Exec("INSERT INTO admins (name, password_hash, created_us) VALUES ($1, $2, $3)",
            {admin.name, admin.password_hash, admin.created_micros});
  });
}

void AdminStore::SetAdminPassword(const std::string& name, const std::string& password_hash) {
  s_.Transact(TxKind::kWrite, [&] {
    if (!AdminExists(name)) throw Refused("no admin " + name);
    s_.Exec("UPDATE admins SET password_hash = $1 WHERE name = $2", {password_hash, name});
    // A new password ends the admin's dashboard sessions.
    s_.Exec("DELETE FROM admin_sessions WHERE admin = $1", {name});
  });
}

std::optional<Admin> AdminStore::FindAdmin(const std::string& name) {
  return s_.Transact(TxKind::kNone, [&]() -> std::optional<Admin> {
    Result r = s_.Exec("SELECT name, password_hash, created_us FROM admins WHERE name = $1", {name});
    if (!r.Rows()) return std::nullopt;
    return Admin{r.Text(0, 0), r.Text(0, 1), r.Int(0, 2)};
  });
}

std::vector<Admin> AdminStore::ListAdmins() {
  return s_.Transact(TxKind::kNone, [&] {
    Result r = s_.Exec("SELECT name, password_hash, created_us FROM admins ORDER BY name");
    std::vector<Admin> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(Admin{r.Text(i, 0), r.Text(i, 1), r.Int(i, 2)});
    return out;
  });
}

int64_t AdminStore::AddToken(const ApiToken& t) {
  if (t.label.size() > 200) throw Refused("a token's label is at most 200 bytes");
  return s_.Transact(TxKind::kWrite, [&] {
    if (!AdminExists(t.admin)) throw Refused("no admin " + t.admin);
    return s_.Exec(
                 "INSERT INTO api_tokens (admin, label, scope, digest, created_us)"
                 " VALUES ($1, $2, $3, $4, $5) RETURNING id",
                 {t.admin, t.label, ScopeName(t.scope), t.digest, t.created_micros})
        .Int(0, 0);
  });
}

std::optional<ApiToken> AdminStore::FindToken(const std::string& digest) {
  return s_.Transact(TxKind::kNone, [&]() -> std::optional<ApiToken> {
    Result r = s_.Exec((std::string(kTokenColumns) + " WHERE digest = $1").c_str(), {digest});
    if (!r.Rows()) return std::nullopt;
    return TokenRow(r, 0);
  });
}

std::vector<ApiToken> AdminStore::ListTokens() {
  return s_.Transact(TxKind::kNone, [&] {
    Result r = s_.Exec((std::string(kTokenColumns) + " ORDER BY id").c_str());
    std::vector<ApiToken> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(TokenRow(r, i));
    return out;
  });
}

bool AdminStore::RevokeToken(int64_t id, int64_t now_micros) {
  return s_.Transact(TxKind::kWrite, [&] {
    return s_.Exec("UPDATE api_tokens SET revoked_us = coalesce(revoked_us, $2) WHERE id = $1 RETURNING id",
                   {id, now_micros})
               .Rows() > 0;
  });
}

void AdminStore::NoteTokenUsed(int64_t id, int64_t now_micros) {
  s_.Transact(TxKind::kWrite, [&] {
    s_.Exec("UPDATE api_tokens SET last_used_us = $2 WHERE id = $1", {id, now_micros});
  });
}

void AdminStore::AddSession(const AdminSession& a) {
  s_.Transact(TxKind::kWrite, [&] {
    // Expired sessions go as new ones come: the table holds the live ones.
    s_.Exec("DELETE FROM admin_sessions WHERE expires_us <= $1", {a.created_micros});
    s_.Exec(
        "INSERT INTO admin_sessions (digest, admin, csrf, peer, created_us, expires_us)"
        " VALUES ($1, $2, $3, $4, $5, $6)",
        {a.digest, a.admin, a.csrf, a.peer, a.created_micros, a.expires_micros});
  });
}

std::optional<AdminSession> AdminStore::FindSession(const std::string& digest, int64_t now_micros) {
  return s_.Transact(TxKind::kNone, [&]() -> std::optional<AdminSession> {
    Result r = s_.Exec(
        "SELECT digest, admin, csrf, peer, created_us, expires_us FROM admin_sessions"
        " WHERE digest = $1 AND expires_us > $2",
        {digest, now_micros});
    if (!r.Rows()) return std::nullopt;
    return AdminSession{r.Text(0, 0), r.Text(0, 1), r.Text(0, 2), r.Text(0, 3), r.Int(0, 4), r.Int(0, 5)};
  });
}

void AdminStore::DeleteSession(const std::string& digest) {
  s_.Transact(TxKind::kWrite, [&] { s_.Exec("DELETE FROM admin_sessions WHERE digest = $1", {digest}); });
}

int64_t AdminStore::AppendAudit(const AuditRow& a) {
  return s_.Transact(TxKind::kWrite, [&] {
    return s_.Exec(
                 "INSERT INTO audit_log (time_us, actor, via, peer, action, product, subject, detail)"
                 " VALUES ($1, $2, $3, $4, $5, $6, $7, $8) RETURNING id",
                 {a.time_micros, a.actor, a.via, a.peer, a.action, a.product, a.subject, a.detail})
        .Int(0, 0);
  });
}

std::vector<AuditRow> AdminStore::QueryAudit(const AuditQuery& q) {
  return s_.Transact(TxKind::kRead, [&] {
    Result r = s_.Exec(
        "SELECT id, time_us, actor, via, peer, action, product, subject, detail FROM audit_log"
        " WHERE ($1::text IS NULL OR product = $1) AND id < $2 ORDER BY id DESC LIMIT $3",
        {q.product ? Param(*q.product) : Param(std::nullopt), q.before_id.value_or(INT64_MAX),
         static_cast<int64_t>(q.limit == 0 || q.limit > kMaxAuditRows ? kMaxAuditRows : q.limit)});
    std::vector<AuditRow> out;
    for (int i = 0; i < r.Rows(); ++i) {
      out.push_back(AuditRow{r.Int(i, 0), r.Int(i, 1), r.Text(i, 2), r.Text(i, 3), r.Text(i, 4), r.Text(i, 5),
                             r.Text(i, 6), r.Text(i, 7), r.Text(i, 8)});
    }
    return out;
  });
}

std::vector<LogStatsRow> AdminStore::LogStats(const std::string& product, int64_t since_micros) {
  Result r = s_.Exec(
      "SELECT (time_us / 3600000000) * 3600000000 AS hour, status, count(*) FROM fetch_log"
      " WHERE product = $1 AND time_us >= $2 GROUP BY hour, status ORDER BY hour, status",
      {product, since_micros});
  std::vector<LogStatsRow> out;
  for (int i = 0; i < r.Rows(); ++i) {
    out.push_back(LogStatsRow{r.Int(i, 0), static_cast<int>(r.Int(i, 1)), static_cast<uint64_t>(r.Int(i, 2))});
  }
  return out;
}

}  // namespace pbs::pg
