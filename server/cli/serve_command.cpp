#include "server/cli/serve_command.h"

#include "server/db/database.h"
#include "server/db/database_fetch_service.h"

namespace pbs::cli {

int Serve(const std::string& db, const ServeOptions& options) {
  OpenDatabase(db, OpenMode::kExisting);
  return RunServe(options, MakeFetchServiceFactory(db));
}

}  // namespace pbs::cli
