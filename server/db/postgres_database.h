// The Database over PostgreSQL (one connection per instance, reconnecting
// by itself: postgres_session.h). Behaves as the SQLite engine does: each
// call is one transaction (writes SERIALIZABLE, so the checks made in it
// hold at its commit: the trial cap, the rules across licenses, an import
// all or nothing), the same refusals, the same failures.
#pragma once

#include <memory>
#include <string>

#include "server/db/database.h"

namespace pbs {

// True for a location OpenDatabase hands to PostgreSQL: postgresql://...
// or postgres://...
bool IsPostgresLocation(const std::string& location);

std::unique_ptr<Database> OpenPostgresDatabase(const std::string& url, OpenMode mode);

}  // namespace pbs
