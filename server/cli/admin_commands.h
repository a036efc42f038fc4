// The command line's admin side: passwords read from a file or a prompt,
// who runs the command (for the audit log), and the audit row every change
// of the command line leaves.
#pragma once

#include <string>

#include "server/admin/api_json.h"
#include "server/db/database.h"

namespace pbs::cli {

// The password in `file` (one trailing newline dropped), else read from a
// prompt with echo off when stdin is a terminal (asked twice, must match),
// else one line of stdin. Throws Refused for an empty one, one shorter than
// admin::kMinPasswordLength or longer than admin::kMaxPasswordLength.
std::string ReadNewPassword(const std::string& file);

// The system user: SUDO_USER when set, else the login name, else the uid.
std::string SystemUser();

// Appends the audit row of a change made by the command line (via "cli").
void AuditCli(Database& db, const std::string& action, const std::string& product, const std::string& subject,
              const admin::Json& detail);

std::string AuditLine(const AuditRow& row);

}  // namespace pbs::cli
