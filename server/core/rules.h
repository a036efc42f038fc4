// What the vendor may write: every check returns the reason a value is
// refused (one line, naming the value), or nothing when it is fine. The
// reply format carries names and values only when they are non-empty and
// free of '=', '&' and NUL: nothing is escaped on the way to the module.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/model.h"

namespace pbs {

using Problem = std::optional<std::string>;

// Limits that keep a reply well under the module's 1 MiB cap.
constexpr std::size_t kMaxNameBytes = 255;
constexpr std::size_t kMaxValueBytes = 4096;
constexpr std::size_t kMaxPairs = 1000;
constexpr std::size_t kMaxReplyText = 64 * 1024;   // name=value&... before Base64
constexpr std::size_t kMaxTextBytes = 255;         // the module keeps 255 bytes of errorD
constexpr std::size_t kMaxAccountBytes = 256;
constexpr uint32_t kMaxAccountsPerLicense = 10000;

// A parameter name or value. `error` and `errorD` are the server's own.
Problem CheckParameterName(std::string_view name);
Problem CheckParameterValue(std::string_view name, std::string_view value);
// A whole set (or a set with its overrides applied): each pair, no name
// twice, the count and the reply's size.
Problem CheckPairs(const Pairs& pairs);
// "name=value" as typed on the command line (the first '=' splits).
std::optional<Pair> SplitPairArgument(std::string_view text, std::string* problem);

// A refusal text for `status` (201..205). "{date}" names the expiry date
// and is allowed in the 203 text only.
Problem CheckRefusalText(int status, std::string_view text);

Problem CheckProductName(std::string_view name);   // [A-Za-z0-9_.-], 1..64
Problem CheckSetName(std::string_view name);       // [A-Za-z0-9_.:/+-], 1..128
Problem CheckLicenseId(std::string_view id);       // 1..128 bytes, no control bytes, no ','
Problem CheckAccount(std::string_view account);    // 1..256 bytes, no NUL, no ','
// Begins and ends with '/', at most 200 bytes of [A-Za-z0-9._~/-], no "//".
Problem CheckBasePath(std::string_view path);

// "all" -> empty (every type); "0,1,-5" -> the list, sorted, no repeats.
std::optional<std::vector<int32_t>> ParseTypes(std::string_view text);
std::string FormatTypes(const std::vector<int32_t>& types);   // "all" or "0,1"
// True when a license of `a` and one of `b` would both allow some type.
bool TypesOverlap(const std::vector<int32_t>& a, const std::vector<int32_t>& b);

// "a,b,c" -> its items (each must pass CheckAccount); an empty item refused.
std::optional<std::vector<std::string>> ParseAccountList(std::string_view text, std::string* problem);

const char* StateName(LicenseState state);   // "active", "suspended", "revoked"
std::optional<LicenseState> ParseState(std::string_view text);

}  // namespace pbs
