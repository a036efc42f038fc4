// The admin API's JSON objects (docs/admin-api.md): licenses, fetch log
// rows, audit rows, tokens; and the times they carry. Text that is not
// UTF-8 (an account is any bytes) is replaced when the document is dumped.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "server/app/fetch_service.h"
#include "server/core/model.h"
#include "server/db/database.h"

namespace pbs::admin {

using Json = nlohmann::ordered_json;

Json LicenseJson(const License& license, const std::optional<FetchLogRow>& last_fetch);
Json FetchJson(const FetchLogRow& row);
Json AuditJson(const AuditRow& row);
Json TokenJson(const ApiToken& token);
Json OptionalTime(const std::optional<int64_t>& micros);

// "YYYY-MM-DDTHH:MM:SS[.f...]Z", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DD" (UTC)
// as microseconds since 1970; none for anything else.
std::optional<int64_t> ParseTime(const std::string& text);

// The document as sent: compact, bad UTF-8 replaced.
std::string Dump(const Json& doc);

}  // namespace pbs::admin
