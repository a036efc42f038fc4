#include "server/db/sqlite_handle.h"

#include "server/app/fetch_service.h"
#include "server/db/database.h"

namespace pbs::sqlite {

Statement::~Statement() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Statement& Statement::Bind(int index, std::string_view text) {
  const int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) connection_.Fail(rc, "bind");
  return *this;
}

Statement& Statement::Bind(int index, int64_t value) {
  const int rc = sqlite3_bind_int64(stmt_, index, value);
  if (rc != SQLITE_OK) connection_.Fail(rc, "bind");
  return *this;
}

Statement& Statement::BindNull(int index) {
  const int rc = sqlite3_bind_null(stmt_, index);
  if (rc != SQLITE_OK) connection_.Fail(rc, "bind");
  return *this;
}

bool Statement::Step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  connection_.Fail(rc, sqlite3_sql(stmt_));
}

void Statement::Run() {
  while (Step()) {
  }
}

int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  const int size = sqlite3_column_bytes(stmt_, column);
  return text ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size)) : std::string();
}

bool Statement::IsNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

Connection::Connection(const std::string& path, int flags) : path_(path) {
  const int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    if (rc == SQLITE_NOTADB) throw NotOurDatabase(path + " is not a parambridge-server database");
    throw DatabaseUnavailable("cannot open " + path + ": " + message);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Connection::~Connection() {
  for (auto& entry : statements_) sqlite3_finalize(entry.second);
  sqlite3_close(db_);
}

void Connection::Exec(const char* sql) {
  char* message = nullptr;
  const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errstr(rc);
    sqlite3_free(message);
    if ((rc & 0xff) == SQLITE_NOTADB) throw NotOurDatabase(path_ + " is not a parambridge-server database");
    throw DatabaseUnavailable(path_ + ": " + text);
  }
}

Statement Connection::Prepare(const char* sql) {
  auto found = statements_.find(sql);
  if (found != statements_.end()) return Statement(*this, found->second);
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr);
  if (rc != SQLITE_OK) Fail(rc, sql);
  statements_.emplace(sql, stmt);
  return Statement(*this, stmt);
}

void Connection::Fail(int rc, const std::string& what) const {
  const std::string message = path_ + ": " + sqlite3_errmsg(db_) + " (" + what.substr(0, 60) + ")";
  if ((rc & 0xff) == SQLITE_NOTADB) throw NotOurDatabase(path_ + " is not a parambridge-server database");
  throw DatabaseUnavailable(message);
}

Transaction::Transaction(Connection& connection, Kind kind) : connection_(connection) {
  connection_.Exec(kind == kWrite ? "BEGIN IMMEDIATE" : "BEGIN");
}

Transaction::~Transaction() {
  if (open_) sqlite3_exec(connection_.Raw(), "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::Commit() {
  // A statement left on a row counts as in progress and would hold the
  // commit back: every statement of this transaction is done by now.
  for (sqlite3_stmt* stmt = sqlite3_next_stmt(connection_.Raw(), nullptr); stmt;
       stmt = sqlite3_next_stmt(connection_.Raw(), stmt)) {
    sqlite3_reset(stmt);
  }
  connection_.Exec("COMMIT");
  open_ = false;
}

}  // namespace pbs::sqlite
