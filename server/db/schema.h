// The schema both engines keep, as one list of migrations. Migrations are
// only ever appended: version N is the N-th entry, and an engine applies
// the missing ones in order, recording each in schema_migrations.
//
// The SQL is written once, in the subset both engines read, with three
// words that each engine spells its own way:
//   {id}    an increasing 64-bit primary key   (SQLite: INTEGER PRIMARY KEY,
//                                               PostgreSQL: BIGSERIAL PRIMARY KEY)
//   {int}   a 64-bit integer column            (INTEGER / BIGINT)
//   {blob}  bytes                              (BLOB / BYTEA)
#pragma once

#include <string>
#include <vector>

namespace pbs {

enum class SqlDialect { kSqlite, kPostgres };

// Every migration, oldest first, in `dialect`.
std::vector<std::string> SchemaMigrations(SqlDialect dialect);

// The newest schema version this program knows.
int LatestSchemaVersion();

}  // namespace pbs
