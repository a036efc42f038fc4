#include "server/db/sqlite_schema.h"

#include "server/db/schema.h"

#include <string>
#include <vector>

namespace pbs::sqlite {
namespace {

int64_t PragmaInt(Connection& c, const char* sql) {
  Statement s = c.Prepare(sql);
  return s.Step() ? s.Int(0) : 0;
}

int64_t CountSchemaObjects(Connection& c) {
  return PragmaInt(c, "SELECT count(*) FROM sqlite_master");
}

int CurrentVersion(Connection& c) {
  Statement has = c.Prepare("SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'schema_migrations'");
  has.Step();
  if (has.Int(0) == 0) return 0;
  Statement s = c.Prepare("SELECT coalesce(max(version), 0) FROM schema_migrations");
  s.Step();
  return static_cast<int>(s.Int(0));
}

void RefuseNewer(const Connection& c, int version) {
  if (version > LatestSchemaVersion()) {
    throw NotOurDatabase(c.Path() + " has schema version " + std::to_string(version) +
                         ", newer than this program's " + std::to_string(LatestSchemaVersion()) +
                         ": use the parambridge-server that wrote it, or a newer one");
  }
}

}  // namespace

void PrepareDatabase(Connection& c, OpenMode mode) {
  sqlite3_busy_timeout(c.Raw(), 5000);
  const std::string not_ours = c.Path() + " is not a parambridge-server database";
  const int64_t app_id = PragmaInt(c, "PRAGMA application_id");
  if (app_id != kApplicationId) {
    if (app_id != 0 || CountSchemaObjects(c) != 0) throw NotOurDatabase(not_ours);
    if (mode != OpenMode::kCreate) {
      throw NotOurDatabase(c.Path() + " is not initialised (parambridge-server --db " + c.Path() + " init)");
    }
  }
  RefuseNewer(c, CurrentVersion(c));
  // WAL: readers (the fetches) never wait for a writer (a command), nor it
  // for them. synchronous=FULL: each commit is on disk before the command
  // reports it done, so neither a killed process nor a power cut loses it.
  Statement wal = c.Prepare("PRAGMA journal_mode=WAL");
  if (!wal.Step() || wal.Text(0) != "wal") {
    throw DatabaseUnavailable(c.Path() + ": cannot switch to write-ahead logging");
  }
  c.Exec("PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON");
  if (CurrentVersion(c) == LatestSchemaVersion()) return;

  Transaction t(c, Transaction::kWrite);
  // Checked again under the write lock: another process may have been first.
  const int64_t id_now = PragmaInt(c, "PRAGMA application_id");
  if (id_now != kApplicationId && (id_now != 0 || CountSchemaObjects(c) != 0)) throw NotOurDatabase(not_ours);
  int version = CurrentVersion(c);
  RefuseNewer(c, version);
  if (version == 0) {
    c.Exec("CREATE TABLE IF NOT EXISTS schema_migrations (version INTEGER PRIMARY KEY, applied_us INTEGER NOT NULL)");
    c.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
  }
  const std::vector<std::string> migrations = SchemaMigrations(SqlDialect::kSqlite);
  for (; version < LatestSchemaVersion(); ++version) {
    c.Exec(migrations[static_cast<std::size_t>(version)].c_str());
    c.Prepare("INSERT INTO schema_migrations (version, applied_us) VALUES (?, strftime('%s','now') * 1000000)")
        .Bind(1, int64_t{version + 1})
        .Run();
  }
  c.Exec(("PRAGMA user_version=" + std::to_string(LatestSchemaVersion())).c_str());
  t.Commit();
}

}  // namespace pbs::sqlite
