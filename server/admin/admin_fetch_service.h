// What each database thread of `serve` holds: the fetch service and the
// admin API, each over its own connection to the same database.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "server/admin/admin_api.h"
#include "server/app/fetch_service.h"

namespace pbs::admin {

// The factory RunServe takes: every service it makes answers fetches as
// MakeFetchServiceFactory's do, and the admin listener through Admin().
// The sign-in limiter is one for all of them.
std::function<std::unique_ptr<FetchService>()> MakeServiceFactoryWithAdmin(const std::string& location);

}  // namespace pbs::admin
