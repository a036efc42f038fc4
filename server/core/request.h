// The fetch request's body as the module sends it, unescaped:
//   account=<account>&accountType=<accountType>
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pbs {

struct FetchRequest {
  std::string account;   // any bytes, possibly empty
  int32_t account_type = 0;
};

// The body must begin with "account="; the account runs from there to the
// last "&accountType=" (so an account text may hold '&', '=' and even
// "&accountType="), and everything after that is the type: an optional '+'
// or '-' and decimal digits, within the signed 32-bit range. Anything else
// (a missing field, an empty or non-decimal type, trailing bytes) gives
// nothing: the status 400.
std::optional<FetchRequest> ParseFetchBody(std::string_view body);

// A signed 32-bit decimal ("-1", "+7", "0042"); nothing else.
std::optional<int32_t> ParseInt32(std::string_view text);

}  // namespace pbs
