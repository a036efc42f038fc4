// A fresh, empty database for one test, on either engine: an SQLite file in
// a temporary folder, or a new database on the PostgreSQL cluster the tests
// were given (dropped again at the end).
//
// The cluster: $PBS_TEST_POSTGRES_URL, or the first line of the file named
// by $PBS_TEST_POSTGRES_URL_FILE (which the CTest fixture's cluster.py
// writes). A URL of any database the user may CREATE DATABASE on. Without
// either, PostgreSQL tests are skipped with a message saying how to run
// them; under CTest (the file variable set) a missing file fails them.
#pragma once

#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>

#include "temp_dir.h"

namespace pbstest {

enum class Engine { kSqlite, kPostgres };

inline const char* EngineName(Engine e) { return e == Engine::kSqlite ? "Sqlite" : "Postgres"; }
inline void PrintTo(Engine e, std::ostream* os) { *os << EngineName(e); }

inline void QuietNotices(void*, const char*) {}

// The cluster's URL, or none with `why` saying what is missing.
inline std::optional<std::string> PostgresUrl(std::string* why, bool* required) {
  *required = false;
  if (const char* url = std::getenv("PBS_TEST_POSTGRES_URL"); url && *url) return std::string(url);
  if (const char* file = std::getenv("PBS_TEST_POSTGRES_URL_FILE"); file && *file) {
    *required = true;
    std::ifstream in(file);
    std::string line;
    if (std::getline(in, line) && !line.empty()) return line;
    *why = std::string("no cluster URL in ") + file + " (the postgres fixture, tests/pg/cluster.py start, failed?)";
    return std::nullopt;
  }
  *why = "PostgreSQL tests need a cluster: PBS_TEST_POSTGRES_URL=$(tests/pg/cluster.py start DIR), "
         "then tests/pg/cluster.py stop DIR";
  return std::nullopt;
}

// Runs one statement on `url`; "" or libpq's message.
inline std::string PostgresExec(const std::string& url, const std::string& sql) {
  PGconn* c = PQconnectdb(url.c_str());
  PQsetNoticeProcessor(c, QuietNotices, nullptr);
  std::string error;
  if (PQstatus(c) != CONNECTION_OK) {
    error = PQerrorMessage(c);
  } else {
    PGresult* r = PQexec(c, sql.c_str());
    const ExecStatusType s = PQresultStatus(r);
    if (s != PGRES_COMMAND_OK && s != PGRES_TUPLES_OK) error = PQresultErrorMessage(r);
    PQclear(r);
  }
  PQfinish(c);
  return error;
}

// The first column of the first row of a query on `url` ("" when none).
inline std::string PostgresValue(const std::string& url, const std::string& sql) {
  PGconn* c = PQconnectdb(url.c_str());
  std::string out;
  if (PQstatus(c) == CONNECTION_OK) {
    PGresult* r = PQexec(c, sql.c_str());
    if (PQresultStatus(r) == PGRES_TUPLES_OK && PQntuples(r) > 0) out = PQgetvalue(r, 0, 0);
    PQclear(r);
  }
  PQfinish(c);
  return out;
}

// `url` with its database name replaced.
inline std::string WithDatabase(const std::string& url, const std::string& name) {
  const std::size_t query = url.find('?');
  const std::size_t slash = url.rfind('/', query);
  return url.substr(0, slash + 1) + name + (query == std::string::npos ? "" : url.substr(query));
}

class ScratchDatabase {
 public:
  // Check Ready() (or Skip()) before using Location().
  explicit ScratchDatabase(Engine engine) : engine_(engine) {
    if (engine == Engine::kSqlite) {
      location_ = dir_.File("server.db");
      return;
    }
    bool required = false;
    const std::optional<std::string> url = PostgresUrl(&why_, &required);
    required_ = required;
    if (!url) return;
    static std::atomic<int> counter{0};
    name_ = "pbs_t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    cluster_ = *url;
    PostgresExec(cluster_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
    const std::string error = PostgresExec(cluster_, "CREATE DATABASE " + name_);
    if (!error.empty()) {
      why_ = "cannot create a database on the cluster: " + error;
      required_ = true;
      name_.clear();
      return;
    }
    location_ = WithDatabase(cluster_, name_);
  }
  ~ScratchDatabase() {
    if (!name_.empty()) PostgresExec(cluster_, "DROP DATABASE IF EXISTS " + name_ + " WITH (FORCE)");
  }
  ScratchDatabase(const ScratchDatabase&) = delete;
  ScratchDatabase& operator=(const ScratchDatabase&) = delete;

  bool Ready() const { return !location_.empty(); }
  // Why not Ready(), and whether that fails the test (else it is skipped).
  const std::string& Why() const { return why_; }
  bool Required() const { return required_; }
  // The file's path or the database's URL: what --db takes.
  const std::string& Location() const { return location_; }
  // PostgreSQL: the database's name and a URL of the cluster's own database.
  const std::string& Name() const { return name_; }
  std::string Maintenance() const { return WithDatabase(cluster_, "postgres"); }
  const TempDir& Dir() const { return dir_; }
  Engine engine() const { return engine_; }

 private:
  Engine engine_;
  TempDir dir_;
  std::string location_, why_, name_, cluster_;
  bool required_ = false;
};

}  // namespace pbstest

// In a test's SetUp or body: skips (or fails, under CTest) when `scratch`
// has no database.
#define PBS_REQUIRE_DATABASE(scratch)                                  \
  do {                                                                 \
    if (!(scratch).Ready()) {                                          \
      if ((scratch).Required()) FAIL() << (scratch).Why();             \
      GTEST_SKIP() << (scratch).Why();                                 \
    }                                                                  \
  } while (0)
