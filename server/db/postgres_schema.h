// The PostgreSQL database's identity and schema. Ours is marked by the
// comment on its schema_migrations table (in the connection's current
// schema); that table lists the migrations applied (server/db/schema.h),
// and every open applies the missing ones in one transaction.
//
// Several instances starting at once: the migrating transaction takes a
// transaction-scoped advisory lock first and looks again, so exactly one
// migrates and the others find the work done.
#pragma once

#include "server/db/database.h"
#include "server/db/postgres_session.h"

namespace pbs::pg {

// The advisory lock's key ("PBSV" and "schema").
constexpr int64_t kSchemaLockKey = 0x5042535673636D61LL;
constexpr const char* kMarker = "parambridge-server schema";

// Checks the database is ours (or, with kCreate, holds no tables yet) and
// migrates it forward. Throws NotOurDatabase (someone else's tables, a
// schema newer than this program, or kExisting on an empty database) or
// DatabaseUnavailable.
void PrepareDatabase(Session& session, OpenMode mode);

}  // namespace pbs::pg
