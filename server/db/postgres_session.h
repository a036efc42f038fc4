// One connection to PostgreSQL through libpq, for one thread, that
// reconnects by itself: a call after the connection was lost (the server
// restarted, the network broke) connects again first.
//
// Every wait is bounded: connecting (connect_timeout), each statement
// (statement_timeout, lock_timeout) and a dead peer (TCP keepalives and
// tcp_user_timeout), so no thread hangs on a server that went away. The
// URL's own settings of these win over the defaults here.
//
// Failures are mapped here, once: a transaction that loses a serialization
// check or a deadlock is run again (a bounded number of times); anything
// else the server or the network reports throws DatabaseUnavailable, after
// the transaction was rolled back (nothing changed). Refused and
// NotOurDatabase thrown by a transaction's body roll it back and pass.
#pragma once

#include <libpq-fe.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pbs::pg {

// A statement's parameter: its text (as PostgreSQL reads it) or NULL.
class Param {
 public:
  Param(std::nullopt_t) {}
  Param(long value) : value_(std::to_string(value)) {}
  Param(int value) : value_(std::to_string(value)) {}
  Param(long long value) : value_(std::to_string(value)) {}
  // Text of any bytes, stored as postgres_text.h says.
  Param(std::string_view text);
  Param(const std::string& text) : Param(std::string_view(text)) {}
  Param(const char* text) : Param(std::string_view(text)) {}
  const char* Data() const { return value_ ? value_->c_str() : nullptr; }

 private:
  std::optional<std::string> value_;
};

class Result {
 public:
  explicit Result(PGresult* result) : result_(result, PQclear) {}
  int Rows() const { return PQntuples(result_.get()); }
  bool IsNull(int row, int column) const { return PQgetisnull(result_.get(), row, column) != 0; }
  int64_t Int(int row, int column) const;
  // The text as it was given (postgres_text.h undone).
  std::string Text(int row, int column) const;

 private:
  std::unique_ptr<PGresult, void (*)(PGresult*)> result_;
};

enum class TxKind {
  kRead,     // one snapshot, read only (REPEATABLE READ READ ONLY)
  kWrite,    // SERIALIZABLE: as if alone; run again on a serialization failure
  kMigrate,  // READ COMMITTED, for the schema's advisory lock
  kNone,     // no transaction: each statement on its own
};

class Session {
 public:
  // Does not connect yet. Throws NotOurDatabase for a URL libpq cannot read.
  explicit Session(const std::string& url);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Runs `body` in one transaction of `kind` and commits it (see above for
  // failures). `body` may run more than once: it must only read and write
  // the database and its own locals.
  template <class F>
  auto Transact(TxKind kind, F&& body) -> decltype(body()) {
    using R = decltype(body());
    if constexpr (std::is_void_v<R>) {
      RunTransaction(kind, [&] { body(); });
    } else {
      std::optional<R> out;
      RunTransaction(kind, [&] { out.emplace(body()); });
      return std::move(*out);
    }
  }

  // One statement with $1.. parameters, inside a Transact body.
  Result Exec(const char* sql, std::initializer_list<Param> params = {});
  // Several statements without parameters, inside a Transact body.
  void ExecScript(const std::string& sql);

  // The database as messages name it: "database D on HOST:PORT" (never the
  // password).
  const std::string& Name() const { return name_; }

 private:
  void RunTransaction(TxKind kind, const std::function<void()>& body);
  void Connect();
  void Drop();
  Result Check(PGresult* result, const char* what);

  std::string url_;
  std::string name_;
  PGconn* conn_ = nullptr;
};

}  // namespace pbs::pg
