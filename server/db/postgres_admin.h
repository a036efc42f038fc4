// The admin side of the PostgreSQL engine (database.h: admins, API tokens,
// the dashboard's sessions, the audit log, the charts' counts), over the
// database's session. Each call is its own transaction, except LogStats,
// which runs inside the caller's.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/db/database.h"
#include "server/db/postgres_session.h"

namespace pbs::pg {

class AdminStore {
 public:
  explicit AdminStore(Session& session) : s_(session) {}

  void AddAdmin(const Admin& admin);
  void SetAdminPassword(const std::string& name, const std::string& password_hash);
  std::optional<Admin> FindAdmin(const std::string& name);
  std::vector<Admin> ListAdmins();
  int64_t AddToken(const ApiToken& token);
  std::optional<ApiToken> FindToken(const std::string& digest);
  std::vector<ApiToken> ListTokens();
  bool RevokeToken(int64_t id, int64_t now_micros);
  void NoteTokenUsed(int64_t id, int64_t now_micros);
  void AddSession(const AdminSession& session);
  std::optional<AdminSession> FindSession(const std::string& digest, int64_t now_micros);
  void DeleteSession(const std::string& digest);
  int64_t AppendAudit(const AuditRow& row);
  std::vector<AuditRow> QueryAudit(const AuditQuery& query);
  // Inside a transaction the caller runs.
  std::vector<LogStatsRow> LogStats(const std::string& product, int64_t since_micros);

 private:
  bool AdminExists(const std::string& name);

  Session& s_;
};

}  // namespace pbs::pg
