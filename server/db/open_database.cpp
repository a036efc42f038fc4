#include "server/db/database.h"
#include "server/db/postgres_database.h"
#include "server/db/sqlite_database.h"

namespace pbs {

// A postgresql:// or postgres:// URL names a PostgreSQL database; anything
// else is an SQLite file's path.
std::unique_ptr<Database> OpenDatabase(const std::string& location, OpenMode mode) {
  if (IsPostgresLocation(location)) return OpenPostgresDatabase(location, mode);
  return OpenSqliteDatabase(location, mode);
}

}  // namespace pbs
