// `serve`: checks the database, then hands the fetches to the network shell.
#pragma once

#include <string>

#include "server/net/serve.h"

namespace pbs::cli {

// Opens (and migrates) the database once here, so that a file that is not
// ours ends the command with 2 before any listener opens; then RunServe.
int Serve(const std::string& db, const ServeOptions& options);

}  // namespace pbs::cli
