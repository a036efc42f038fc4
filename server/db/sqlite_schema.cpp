#include "server/db/sqlite_schema.h"

#include <string>
#include <vector>

namespace pbs::sqlite {
namespace {

// Migrations are only ever appended: version N is the N-th entry.
const std::vector<const char*>& Migrations() {
  static const std::vector<const char*> kMigrations = {
      // 1: products, sets, licenses, trials, the fetch log and settings.
      R"sql(
CREATE TABLE products (
  id INTEGER PRIMARY KEY,
  name TEXT NOT NULL UNIQUE,
  base_path TEXT NOT NULL UNIQUE,
  trial_days INTEGER NOT NULL DEFAULT 0,
  trial_set TEXT,
  trial_per_hour INTEGER NOT NULL DEFAULT 20,
  created_us INTEGER NOT NULL
);
CREATE TABLE product_texts (
  product_id INTEGER NOT NULL REFERENCES products(id),
  status INTEGER NOT NULL,
  text TEXT NOT NULL,
  PRIMARY KEY (product_id, status)
);
CREATE TABLE sets (
  id INTEGER PRIMARY KEY,
  product_id INTEGER NOT NULL REFERENCES products(id),
  name TEXT NOT NULL,
  updated_us INTEGER NOT NULL,
  UNIQUE (product_id, name)
);
CREATE TABLE set_pairs (
  set_id INTEGER NOT NULL REFERENCES sets(id),
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (set_id, position)
);
CREATE TABLE licenses (
  id INTEGER PRIMARY KEY,
  product_id INTEGER NOT NULL REFERENCES products(id),
  license_id TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('active', 'suspended', 'revoked')),
  max_accounts INTEGER NOT NULL,
  expires_day INTEGER,
  types TEXT NOT NULL,
  set_name TEXT NOT NULL,
  note TEXT NOT NULL,
  created_us INTEGER NOT NULL,
  updated_us INTEGER NOT NULL,
  UNIQUE (product_id, license_id)
);
CREATE TABLE license_accounts (
  license_key INTEGER NOT NULL REFERENCES licenses(id),
  product_id INTEGER NOT NULL,
  position INTEGER NOT NULL,
  account TEXT NOT NULL,
  PRIMARY KEY (license_key, account)
);
CREATE INDEX license_accounts_by_account ON license_accounts (product_id, account);
CREATE TABLE license_overrides (
  license_key INTEGER NOT NULL REFERENCES licenses(id),
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (license_key, name)
);
CREATE TABLE trials (
  product_id INTEGER NOT NULL REFERENCES products(id),
  account TEXT NOT NULL,
  started_us INTEGER NOT NULL,
  until_day INTEGER NOT NULL,
  set_name TEXT NOT NULL,
  PRIMARY KEY (product_id, account)
);
CREATE INDEX trials_by_start ON trials (product_id, started_us);
CREATE TABLE fetch_log (
  id INTEGER PRIMARY KEY,
  time_us INTEGER NOT NULL,
  product TEXT NOT NULL,
  account TEXT NOT NULL,
  account_type INTEGER NOT NULL,
  peer TEXT NOT NULL,
  https INTEGER NOT NULL,
  status INTEGER NOT NULL,
  micros INTEGER NOT NULL,
  instance TEXT NOT NULL
);
CREATE INDEX fetch_log_by_time ON fetch_log (time_us);
CREATE INDEX fetch_log_by_product ON fetch_log (product, time_us);
CREATE INDEX fetch_log_by_account ON fetch_log (product, account, time_us);
CREATE TABLE settings (
  name TEXT PRIMARY KEY,
  value INTEGER NOT NULL
);
INSERT INTO settings (name, value) VALUES
  ('log_retention_days', 90), ('log_max_rows', 1000000), ('log_rows_dropped', 0);
)sql",
  };
  return kMigrations;
}

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

int LatestSchemaVersion() { return static_cast<int>(Migrations().size()); }

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
  for (; version < LatestSchemaVersion(); ++version) {
    c.Exec(Migrations()[static_cast<std::size_t>(version)]);
    c.Prepare("INSERT INTO schema_migrations (version, applied_us) VALUES (?, strftime('%s','now') * 1000000)")
        .Bind(1, int64_t{version + 1})
        .Run();
  }
  c.Exec(("PRAGMA user_version=" + std::to_string(LatestSchemaVersion())).c_str());
  t.Commit();
}

}  // namespace pbs::sqlite
