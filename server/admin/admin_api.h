// The admin API and the dashboard's files (docs/admin-api.md), over one
// Database connection: the AdminService a database thread runs. Decides
// everything of an answer: the credential (API token or session cookie),
// the origin and CSRF checks, the scope, the route's work, the audit row of
// every change, the error codes and the security headers. Never throws.
#pragma once

#include <functional>
#include <memory>

#include "server/admin/sign_in_limiter.h"
#include "server/app/admin_service.h"
#include "server/db/database.h"

namespace pbs::admin {

// A dashboard session lives this long from its sign-in.
constexpr std::chrono::hours kSessionLifetime{12};

class AdminApi : public AdminService {
 public:
  // `limiter` is shared by every database thread of the process.
  AdminApi(Database& db, std::shared_ptr<SignInLimiter> limiter) : db_(db), limiter_(std::move(limiter)) {}
  AdminAnswer Answer(const AdminInput& in) override;

 private:
  Database& db_;
  std::shared_ptr<SignInLimiter> limiter_;
};

}  // namespace pbs::admin
