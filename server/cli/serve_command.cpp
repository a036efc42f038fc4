#include "server/cli/serve_command.h"

#include "server/db/database.h"
#include "server/admin/admin_fetch_service.h"

namespace pbs::cli {

int Serve(const std::string& db, const ServeOptions& options) {
  OpenDatabase(db, OpenMode::kExisting);
  return RunServe(options, admin::MakeServiceFactoryWithAdmin(db));
}

}  // namespace pbs::cli
