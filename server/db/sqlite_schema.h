// The SQLite database's identity and schema: application_id marks the file
// as ours; schema_migrations lists the migrations applied, and every open
// applies the missing ones (in one transaction) or refuses a database that
// a newer program has migrated further.
#pragma once

#include "server/db/database.h"
#include "server/db/sqlite_handle.h"

namespace pbs::sqlite {

constexpr int32_t kApplicationId = 0x50425356;   // "PBSV"

// Checks the file is ours (or, with kCreate, new and empty), sets WAL,
// synchronous=FULL, the busy timeout and foreign keys, and migrates forward.
// Throws NotOurDatabase or DatabaseUnavailable.
void PrepareDatabase(Connection& connection, OpenMode mode);

}  // namespace pbs::sqlite
