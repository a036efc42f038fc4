#include "server/db/sqlite_admin_store.h"

#include "server/core/dates.h"

namespace pbs::sqlite {

FetchLogRow LogRowAt(Statement& s) {
  FetchLogRow row;
  row.time = FromMicros(s.Int(0));
  row.product = s.Text(1);
  row.account = s.Text(2);
  row.account_type = static_cast<int32_t>(s.Int(3));
  row.peer = s.Text(4);
  row.https = s.Int(5) != 0;
  row.status = static_cast<int>(s.Int(6));
  row.micros = s.Int(7);
  row.instance = s.Text(8);
  return row;
}
namespace {

constexpr std::size_t kMaxAuditRows = 1000;

ApiToken ReadToken(const Statement& s) {
  ApiToken t;
  t.id = s.Int(0);
  t.admin = s.Text(1);
  t.label = s.Text(2);
  t.scope = ParseScope(s.Text(3)).value_or(Scope::kRead);
  t.digest = s.Text(4);
  t.created_micros = s.Int(5);
  if (!s.IsNull(6)) t.revoked_micros = s.Int(6);
  if (!s.IsNull(7)) t.last_used_micros = s.Int(7);
  return t;
}

bool AdminExists(Connection& c, const std::string& name) {
  Statement s = c.Prepare("SELECT 1 FROM admins WHERE name = ?");
  s.Bind(1, name);
  return s.Step();
}

}  // namespace

void AdminStore::AddAdmin(const Admin& admin) {
  if (admin.name.empty() || admin.name.size() > 64) throw Refused("an admin's name is 1 to 64 bytes");
  Transaction t(c_, Transaction::kWrite);
  if (AdminExists(c_, admin.name)) throw Refused("admin " + admin.name + " exists already");
  c_.Prepare("INSERT INTO admins (name, password_hash, created_us) VALUES (?, ?, ?)")
      .Bind(1, admin.name)
      .Bind(2, admin.password_hash)
      .Bind(3, admin.created_micros)
      .Run();
  t.Commit();
}

void AdminStore::SetAdminPassword(const std::string& name, const std::string& password_hash) {
  Transaction t(c_, Transaction::kWrite);
  if (!AdminExists(c_, name)) throw Refused("no admin " + name);
  c_.Prepare("UPDATE admins SET password_hash = ? WHERE name = ?").Bind(1, password_hash).Bind(2, name).Run();
  // A new password ends the admin's dashboard sessions.
  c_.Prepare("DELETE FROM admin_sessions WHERE admin = ?").Bind(1, name).Run();
  t.Commit();
}

std::optional<Admin> AdminStore::FindAdmin(const std::string& name) {
  Statement s = c_.Prepare("SELECT name, password_hash, created_us FROM admins WHERE name = ?");
  s.Bind(1, name);
  if (!s.Step()) return std::nullopt;
  return Admin{s.Text(0), s.Text(1), s.Int(2)};
}

std::vector<Admin> AdminStore::ListAdmins() {
  std::vector<Admin> out;
  Statement s = c_.Prepare("SELECT name, password_hash, created_us FROM admins ORDER BY name");
  while (s.Step()) out.push_back(Admin{s.Text(0), s.Text(1), s.Int(2)});
  return out;
}

int64_t AdminStore::AddToken(const ApiToken& token) {
  if (token.label.size() > 200) throw Refused("a token's label is at most 200 bytes");
  Transaction t(c_, Transaction::kWrite);
  if (!AdminExists(c_, token.admin)) throw Refused("no admin " + token.admin);
  c_.Prepare("INSERT INTO api_tokens (admin, label, scope, digest, created_us) VALUES (?, ?, ?, ?, ?)")
      .Bind(1, token.admin)
      .Bind(2, token.label)
      .Bind(3, ScopeName(token.scope))
      .Bind(4, token.digest)
      .Bind(5, token.created_micros)
      .Run();
  const int64_t id = c_.LastInsertId();
  t.Commit();
  return id;
}

std::optional<ApiToken> AdminStore::FindToken(const std::string& digest) {
  Statement s = c_.Prepare(
      "SELECT id, admin, label, scope, digest, created_us, revoked_us, last_used_us FROM api_tokens WHERE digest = ?");
  s.Bind(1, digest);
  if (!s.Step()) return std::nullopt;
  return ReadToken(s);
}

std::vector<ApiToken> AdminStore::ListTokens() {
  std::vector<ApiToken> out;
  Statement s = c_.Prepare(
      "SELECT id, admin, label, scope, digest, created_us, revoked_us, last_used_us FROM api_tokens ORDER BY id");
  while (s.Step()) out.push_back(ReadToken(s));
  return out;
}

bool AdminStore::RevokeToken(int64_t id, int64_t now_micros) {
  Transaction t(c_, Transaction::kWrite);
  {
    Statement s = c_.Prepare("SELECT 1 FROM api_tokens WHERE id = ?");
    s.Bind(1, id);
    if (!s.Step()) return false;
  }
  c_.Prepare("UPDATE api_tokens SET revoked_us = ? WHERE id = ? AND revoked_us IS NULL").Bind(1, now_micros).Bind(2, id).Run();
  t.Commit();
  return true;
}

void AdminStore::NoteTokenUsed(int64_t id, int64_t now_micros) {
  Transaction t(c_, Transaction::kWrite);
  c_.Prepare("UPDATE api_tokens SET last_used_us = ? WHERE id = ?").Bind(1, now_micros).Bind(2, id).Run();
  t.Commit();
}

void AdminStore::AddSession(const AdminSession& session) {
  Transaction t(c_, Transaction::kWrite);
  // Expired sessions go as new ones come: the table holds the live ones.
  c_.Prepare("DELETE FROM admin_sessions WHERE expires_us <= ?").Bind(1, session.created_micros).Run();
  c_.Prepare(
        "INSERT INTO admin_sessions (digest, admin, csrf, peer, created_us, expires_us) VALUES (?, ?, ?, ?, ?, ?)")
      .Bind(1, session.digest)
      .Bind(2, session.admin)
      .Bind(3, session.csrf)
      .Bind(4, session.peer)
      .Bind(5, session.created_micros)
      .Bind(6, session.expires_micros)
      .Run();
  t.Commit();
}

std::optional<AdminSession> AdminStore::FindSession(const std::string& digest, int64_t now_micros) {
  Statement s = c_.Prepare(
      "SELECT digest, admin, csrf, peer, created_us, expires_us FROM admin_sessions WHERE digest = ? AND expires_us > ?");
  s.Bind(1, digest).Bind(2, now_micros);
  if (!s.Step()) return std::nullopt;
  return AdminSession{s.Text(0), s.Text(1), s.Text(2), s.Text(3), s.Int(4), s.Int(5)};
}

void AdminStore::DeleteSession(const std::string& digest) {
  Transaction t(c_, Transaction::kWrite);
  c_.Prepare("DELETE FROM admin_sessions WHERE digest = ?").Bind(1, digest).Run();
  t.Commit();
}

int64_t AdminStore::AppendAudit(const AuditRow& row) {
  Transaction t(c_, Transaction::kWrite);
  c_.Prepare(
        "INSERT INTO audit_log (time_us, actor, via, peer, action, product, subject, detail)"
        " VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
      .Bind(1, row.time_micros)
      .Bind(2, row.actor)
      .Bind(3, row.via)
      .Bind(4, row.peer)
      .Bind(5, row.action)
      .Bind(6, row.product)
      .Bind(7, row.subject)
      .Bind(8, row.detail)
      .Run();
  const int64_t id = c_.LastInsertId();
  t.Commit();
  return id;
}

std::vector<AuditRow> AdminStore::QueryAudit(const AuditQuery& q) {
  Statement s = c_.Prepare(
      "SELECT id, time_us, actor, via, peer, action, product, subject, detail FROM audit_log"
      " WHERE (?1 IS NULL OR product = ?1) AND id < ?2 ORDER BY id DESC LIMIT ?3");
  if (q.product) s.Bind(1, *q.product); else s.BindNull(1);
  s.Bind(2, q.before_id.value_or(INT64_MAX));
  s.Bind(3, static_cast<int64_t>(q.limit == 0 || q.limit > kMaxAuditRows ? kMaxAuditRows : q.limit));
  std::vector<AuditRow> out;
  while (s.Step()) {
    out.push_back(AuditRow{s.Int(0), s.Int(1), s.Text(2), s.Text(3), s.Text(4), s.Text(5), s.Text(6), s.Text(7),
                           s.Text(8)});
  }
  return out;
}

std::vector<LogStatsRow> AdminStore::LogStats(const std::string& product, int64_t since_micros) {
  constexpr int64_t kHour = 3600LL * 1000000;
  Statement s = c_.Prepare(
      "SELECT (time_us / ?3) * ?3 AS hour, status, count(*) FROM fetch_log"
      " WHERE product = ?1 AND time_us >= ?2 GROUP BY hour, status ORDER BY hour, status");
  s.Bind(1, product).Bind(2, since_micros).Bind(3, kHour);
  std::vector<LogStatsRow> out;
  while (s.Step()) out.push_back(LogStatsRow{s.Int(0), static_cast<int>(s.Int(1)), static_cast<uint64_t>(s.Int(2))});
  return out;
}

std::map<std::string, FetchLogRow> AdminStore::LastFetches(const std::string& product,
                                                           const std::vector<std::string>& accounts) {
  std::map<std::string, FetchLogRow> out;
  for (const std::string& account : accounts) {
    Statement s = c_.Prepare(
        "SELECT time_us, product, account, account_type, peer, https, status, micros, instance FROM fetch_log"
        " WHERE product = ? AND account = ? ORDER BY time_us DESC, id DESC LIMIT 1");
    s.Bind(1, product).Bind(2, account);
    if (s.Step()) {
      out.emplace(account, LogRowAt(s));
    }
  }
  return out;
}

}  // namespace pbs::sqlite
