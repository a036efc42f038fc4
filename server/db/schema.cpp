#include "server/db/schema.h"

#include <cstddef>
#include <iterator>
#include <string>
#include <utility>

namespace pbs {
namespace {

// The neutral spelling (schema.h); never edit an entry that has shipped.
const char* const kMigrations[] = {
    // 1: products, sets, licenses, trials, the fetch log and settings.
    R"sql(
CREATE TABLE products (
  id {id},
  name TEXT NOT NULL UNIQUE,
  base_path TEXT NOT NULL UNIQUE,
  trial_days {int} NOT NULL DEFAULT 0,
  trial_set TEXT,
  trial_per_hour {int} NOT NULL DEFAULT 20,
  created_us {int} NOT NULL
);
CREATE TABLE product_texts (
  product_id {int} NOT NULL REFERENCES products(id),
  status {int} NOT NULL,
  text TEXT NOT NULL,
  PRIMARY KEY (product_id, status)
);
CREATE TABLE sets (
  id {id},
  product_id {int} NOT NULL REFERENCES products(id),
  name TEXT NOT NULL,
  updated_us {int} NOT NULL,
  UNIQUE (product_id, name)
);
CREATE TABLE set_pairs (
  set_id {int} NOT NULL REFERENCES sets(id),
  position {int} NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (set_id, position)
);
CREATE TABLE licenses (
  id {id},
  product_id {int} NOT NULL REFERENCES products(id),
  license_id TEXT NOT NULL,
  state TEXT NOT NULL CHECK (state IN ('active', 'suspended', 'revoked')),
  max_accounts {int} NOT NULL,
  expires_day {int},
  types TEXT NOT NULL,
  set_name TEXT NOT NULL,
  note TEXT NOT NULL,
  created_us {int} NOT NULL,
  updated_us {int} NOT NULL,
  UNIQUE (product_id, license_id)
);
CREATE TABLE license_accounts (
  license_key {int} NOT NULL REFERENCES licenses(id),
  product_id {int} NOT NULL,
  position {int} NOT NULL,
  account TEXT NOT NULL,
  PRIMARY KEY (license_key, account)
);
CREATE INDEX license_accounts_by_account ON license_accounts (product_id, account);
CREATE TABLE license_overrides (
  license_key {int} NOT NULL REFERENCES licenses(id),
  position {int} NOT NULL,
  name TEXT NOT NULL,
  value TEXT NOT NULL,
  PRIMARY KEY (license_key, name)
);
CREATE TABLE trials (
  product_id {int} NOT NULL REFERENCES products(id),
  account TEXT NOT NULL,
  started_us {int} NOT NULL,
  until_day {int} NOT NULL,
  set_name TEXT NOT NULL,
  PRIMARY KEY (product_id, account)
);
CREATE INDEX trials_by_start ON trials (product_id, started_us);
CREATE TABLE fetch_log (
  id {id},
  time_us {int} NOT NULL,
  product TEXT NOT NULL,
  account TEXT NOT NULL,
  account_type {int} NOT NULL,
  peer TEXT NOT NULL,
  https {int} NOT NULL,
  status {int} NOT NULL,
  micros {int} NOT NULL,
  instance TEXT NOT NULL
);
CREATE INDEX fetch_log_by_time ON fetch_log (time_us);
CREATE INDEX fetch_log_by_product ON fetch_log (product, time_us);
CREATE INDEX fetch_log_by_account ON fetch_log (product, account, time_us);
CREATE TABLE settings (
  name TEXT PRIMARY KEY,
  value {int} NOT NULL
);
INSERT INTO settings (name, value) VALUES
  ('log_retention_days', 90), ('log_max_rows', 1000000), ('log_rows_dropped', 0);
)sql",
    // 2: the admin side: admins, API tokens, dashboard sessions, the audit
    // log; last fetches per account are read through fetch_log_by_account.
    R"sql(
CREATE TABLE admins (
  name TEXT PRIMARY KEY,
  password_hash TEXT NOT NULL,
  created_us {int} NOT NULL
);
CREATE TABLE api_tokens (
  id {id},
  admin TEXT NOT NULL REFERENCES admins(name),
  label TEXT NOT NULL,
  scope TEXT NOT NULL CHECK (scope IN ('read', 'revoke', 'full')),
  digest TEXT NOT NULL UNIQUE,
  created_us {int} NOT NULL,
  revoked_us {int},
  last_used_us {int}
);
CREATE TABLE admin_sessions (
  digest TEXT PRIMARY KEY,
  admin TEXT NOT NULL REFERENCES admins(name),
  csrf TEXT NOT NULL,
  peer TEXT NOT NULL,
  created_us {int} NOT NULL,
  expires_us {int} NOT NULL
);
CREATE INDEX admin_sessions_by_expiry ON admin_sessions (expires_us);
CREATE TABLE audit_log (
  id {id},
  time_us {int} NOT NULL,
  actor TEXT NOT NULL,
  via TEXT NOT NULL,
  peer TEXT NOT NULL,
  action TEXT NOT NULL,
  product TEXT NOT NULL,
  subject TEXT NOT NULL,
  detail TEXT NOT NULL
);
CREATE INDEX audit_log_by_product ON audit_log (product, id);
)sql",
};

std::string Spell(std::string sql, SqlDialect dialect) {
  const bool lite = dialect == SqlDialect::kSqlite;
  const std::pair<const char*, const char*> words[] = {
      {"{id}", lite ? "INTEGER PRIMARY KEY" : "BIGSERIAL PRIMARY KEY"},
      {"{int}", lite ? "INTEGER" : "BIGINT"},
      {"{blob}", lite ? "BLOB" : "BYTEA"},
  };
  for (const auto& [word, spelling] : words) {
    for (std::size_t at = sql.find(word); at != std::string::npos; at = sql.find(word, at)) {
      sql.replace(at, std::char_traits<char>::length(word), spelling);
      at += std::char_traits<char>::length(spelling);
    }
  }
  return sql;
}

}  // namespace

std::vector<std::string> SchemaMigrations(SqlDialect dialect) {
  std::vector<std::string> out;
  for (const char* m : kMigrations) out.push_back(Spell(m, dialect));
  return out;
}

int LatestSchemaVersion() { return static_cast<int>(std::size(kMigrations)); }

}  // namespace pbs
