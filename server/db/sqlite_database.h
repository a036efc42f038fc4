// The Database over one SQLite file (one connection per instance).
#pragma once

#include <memory>
#include <string>

#include "server/db/database.h"

namespace pbs {

std::unique_ptr<Database> OpenSqliteDatabase(const std::string& path, OpenMode mode);

}  // namespace pbs
