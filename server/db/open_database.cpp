#include "server/db/database.h"
#include "server/db/sqlite_database.h"

namespace pbs {

// Another engine would be chosen here by the location's form (a URL).
std::unique_ptr<Database> OpenDatabase(const std::string& location, OpenMode mode) {
  return OpenSqliteDatabase(location, mode);
}

}  // namespace pbs
