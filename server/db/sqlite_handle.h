// A thin RAII layer over the SQLite C API: one connection, its prepared
// statements (kept for the connection's life and reset after each use) and
// transactions that roll back unless committed. Every failure throws:
// SQLITE_NOTADB as NotOurDatabase, everything else as DatabaseUnavailable.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace pbs::sqlite {

class Connection;

// A prepared statement borrowed from its connection: bindings are cleared
// and the statement reset when this handle ends.
class Statement {
 public:
  Statement(Connection& connection, sqlite3_stmt* stmt) : connection_(connection), stmt_(stmt) {}
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::string_view text);
  Statement& Bind(int index, int64_t value);
  Statement& BindNull(int index);
  // One step: true while it yields a row, false when done.
  bool Step();
  // Steps to the end (a statement that yields no rows).
  void Run();
  int64_t Int(int column) const;
  std::string Text(int column) const;
  bool IsNull(int column) const;

 private:
  Connection& connection_;
  sqlite3_stmt* stmt_;
};

class Connection {
 public:
  // Opens `path` with `flags` (SQLITE_OPEN_*). Throws.
  Connection(const std::string& path, int flags);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Exec(const char* sql);
  Statement Prepare(const char* sql);   // kept and reused, keyed by `sql`'s text
  int64_t LastInsertId() const { return sqlite3_last_insert_rowid(db_); }
  int Changes() const { return sqlite3_changes(db_); }
  sqlite3* Raw() const { return db_; }
  const std::string& Path() const { return path_; }

  // Throws the exception for `rc` with `what` and SQLite's own message.
  [[noreturn]] void Fail(int rc, const std::string& what) const;

 private:
  sqlite3* db_ = nullptr;
  std::string path_;
  std::map<std::string, sqlite3_stmt*> statements_;
};

// BEGIN IMMEDIATE (writes: the lock is taken at once, waiting up to the
// busy timeout) or BEGIN (reads: one snapshot); ROLLBACK unless Commit().
class Transaction {
 public:
  enum Kind { kRead, kWrite };
  Transaction(Connection& connection, Kind kind);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Connection& connection_;
  bool open_ = true;
};

}  // namespace pbs::sqlite
