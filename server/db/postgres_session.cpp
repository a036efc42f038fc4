#include "server/db/postgres_session.h"

#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "server/app/fetch_service.h"
#include "server/db/database.h"
#include "server/db/postgres_text.h"

namespace pbs::pg {
namespace {

// What the server or libpq reported for one statement.
struct SqlError : std::runtime_error {
  SqlError(const std::string& message, std::string state, bool lost)
      : std::runtime_error(message), sqlstate(std::move(state)), connection_lost(lost) {}
  std::string sqlstate;   // empty when the connection failed before an answer
  bool connection_lost;
};

// A serialization failure or a deadlock: the transaction may simply run again.
bool Retryable(const SqlError& e) { return e.sqlstate == "40001" || e.sqlstate == "40P01"; }

constexpr int kAttempts = 8;

// libpq's message on one line (it may span several, with tabs).
std::string Trimmed(const char* message) {
  std::string s = message ? message : "";
  for (char& c : s) {
    if (c == '\n' || c == '\t' || c == '\r') c = ' ';
  }
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s.empty() ? std::string("no message") : s;
}

void IgnoreNotice(void*, const char*) {}

const char* BeginSql(TxKind kind) {
  switch (kind) {
    case TxKind::kRead: return "BEGIN ISOLATION LEVEL REPEATABLE READ, READ ONLY";
    case TxKind::kWrite: return "BEGIN ISOLATION LEVEL SERIALIZABLE";
    case TxKind::kMigrate: return "BEGIN ISOLATION LEVEL READ COMMITTED";
    case TxKind::kNone: break;
  }
  return nullptr;
}

}  // namespace

Param::Param(std::string_view text) : value_(StoredText(text)) {}

int64_t Result::Int(int row, int column) const {
  return std::strtoll(PQgetvalue(result_.get(), row, column), nullptr, 10);
}

std::string Result::Text(int row, int column) const {
  return ReadText(std::string_view(PQgetvalue(result_.get(), row, column),
                                   static_cast<std::size_t>(PQgetlength(result_.get(), row, column))));
}

Session::Session(const std::string& url) : url_(url) {
  char* error = nullptr;
  PQconninfoOption* options = PQconninfoParse(url.c_str(), &error);
  if (!options) {
    const std::string why = Trimmed(error);
    PQfreemem(error);
    throw NotOurDatabase("not a PostgreSQL URL (" + why + ")");
  }
  std::string db, host, port;
  for (PQconninfoOption* o = options; o->keyword; ++o) {
    if (!o->val) continue;
    const std::string key = o->keyword;
    if (key == "dbname") db = o->val;
    if (key == "host" || (key == "hostaddr" && host.empty())) host = o->val;
    if (key == "port") port = o->val;
  }
  PQconninfoFree(options);
  name_ = "database " + (db.empty() ? std::string("(the user's)") : db) + " on " +
          (host.empty() ? std::string("the local socket") : host) + (port.empty() ? "" : ":" + port);
}

Session::~Session() { Drop(); }

void Session::Drop() {
  if (conn_) PQfinish(conn_);
  conn_ = nullptr;
}

void Session::Connect() {
  // Ours first: the URL's own settings (the last, expanded) win.
  const char* keys[] = {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                        "keepalives_count", "tcp_user_timeout", "application_name", "client_encoding",
                        "dbname", nullptr};
  const char* values[] = {"5", "1", "5", "2", "3", "10000", "parambridge-server", "UTF8", url_.c_str(), nullptr};
  conn_ = PQconnectdbParams(keys, values, 1);
  if (!conn_ || PQstatus(conn_) != CONNECTION_OK) {
    const std::string why = Trimmed(conn_ ? PQerrorMessage(conn_) : "out of memory");
    Drop();
    throw DatabaseUnavailable("cannot connect to " + name_ + ": " + why);
  }
  PQsetNoticeProcessor(conn_, IgnoreNotice, nullptr);
  // Bounded statements and locks, unless the URL or the role set them.
  PGresult* r = PQexec(conn_,
                       "SELECT set_config('statement_timeout', '15s', false)"
                       "  WHERE current_setting('statement_timeout') = '0';"
                       "SELECT set_config('lock_timeout', '5s', false)"
                       "  WHERE current_setting('lock_timeout') = '0';"
                       "SELECT set_config('idle_in_transaction_session_timeout', '60s', false)"
                       "  WHERE current_setting('idle_in_transaction_session_timeout') = '0'");
  const bool ok = r && PQresultStatus(r) == PGRES_TUPLES_OK;
  const std::string why = Trimmed(r ? PQresultErrorMessage(r) : PQerrorMessage(conn_));
  PQclear(r);
  if (!ok) {
    Drop();
    throw DatabaseUnavailable("cannot set up the connection to " + name_ + ": " + why);
  }
}

Result Session::Check(PGresult* result, const char* what) {
  const ExecStatusType status = result ? PQresultStatus(result) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return Result(result);
  std::string state, message;
  if (result) {
    const char* s = PQresultErrorField(result, PG_DIAG_SQLSTATE);
    state = s ? s : "";
    message = Trimmed(PQresultErrorMessage(result));
    PQclear(result);
  } else {
    message = Trimmed(PQerrorMessage(conn_));
  }
  const bool lost = PQstatus(conn_) != CONNECTION_OK;
  throw SqlError(name_ + ": " + what + ": " + message, state, lost);
}

Result Session::Exec(const char* sql, std::initializer_list<Param> params) {
  std::vector<const char*> values;
  for (const Param& p : params) values.push_back(p.Data());
  return Check(PQexecParams(conn_, sql, static_cast<int>(values.size()), nullptr, values.data(), nullptr,
                            nullptr, 0),
               "a statement failed");
}

void Session::ExecScript(const std::string& sql) { Check(PQexec(conn_, sql.c_str()), "a script failed"); }

void Session::RunTransaction(TxKind kind, const std::function<void()>& body) {
  static thread_local std::minstd_rand jitter(std::random_device{}());
  const char* begin = BeginSql(kind);
  for (int attempt = 1;; ++attempt) {
    const bool fresh = conn_ == nullptr;
    if (fresh) Connect();
    bool begun = begin == nullptr;
    try {
      if (begin) {
        Exec(begin);
        begun = true;
      }
      body();
      if (begin) Exec("COMMIT");
      return;
    } catch (const SqlError& e) {
      if (e.connection_lost) {
        Drop();
      } else if (PQtransactionStatus(conn_) != PQTRANS_IDLE) {
        PQclear(PQexec(conn_, "ROLLBACK"));
      }
      // A connection that died while idle (the server restarted): once more
      // on a new one, when nothing can have been written.
      const bool only_read = kind == TxKind::kRead || kind == TxKind::kNone || !begun;
      if (e.connection_lost && !fresh && only_read && attempt == 1) continue;
      if (Retryable(e) && attempt < kAttempts) {
        std::this_thread::sleep_for(std::chrono::milliseconds(attempt * 4 + jitter() % 8));
        continue;
      }
      throw DatabaseUnavailable(e.what());
    } catch (...) {
      if (conn_ && PQstatus(conn_) != CONNECTION_OK) {
        Drop();
      } else if (conn_ && PQtransactionStatus(conn_) != PQTRANS_IDLE) {
        PQclear(PQexec(conn_, "ROLLBACK"));
      }
      throw;
    }
  }
}

}  // namespace pbs::pg
