// The admin side of the Database over SQLite: admins, API tokens, dashboard
// sessions, the audit log and the fetch log's summaries for the dashboard.
// Used by SqliteDatabase (sqlite_database.cpp) on its own connection.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/db/database.h"
#include "server/db/sqlite_handle.h"

namespace pbs::sqlite {

// The fetch log row at the statement's current step, whose columns are
// time_us, product, account, account_type, peer, https, status, micros,
// instance in this order (every query of the log selects them so).
FetchLogRow LogRowAt(Statement& s);

class AdminStore {
 public:
  explicit AdminStore(Connection& c) : c_(c) {}

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
  std::vector<LogStatsRow> LogStats(const std::string& product, int64_t since_micros);
  std::map<std::string, FetchLogRow> LastFetches(const std::string& product, const std::vector<std::string>& accounts);

 private:
  Connection& c_;
};

}  // namespace pbs::sqlite
