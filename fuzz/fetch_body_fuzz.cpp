// The server's parsing of a fetch body, on any bytes: no crash, and what it
// accepts is exactly the account and type that rebuild the same body.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "server/core/request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  const std::optional<pbs::FetchRequest> r = pbs::ParseFetchBody(body);
  if (!r) {
    // Refused: the body does not begin with "account=", or what follows the
    // last "&accountType=" is no 32-bit decimal.
    const std::size_t at = body.rfind("&accountType=");
    if (body.substr(0, 8) == "account=" && at != std::string_view::npos && at >= 8) {
      const std::string_view type = body.substr(at + 13);
      if (pbs::ParseInt32(type)) std::abort();
    }
    return 0;
  }
  // The account is the body between its first 8 bytes and the last
  // "&accountType=", and the type reads back from its own decimal text.
  const std::size_t at = body.rfind("&accountType=");
  if (r->account != body.substr(8, at - 8)) std::abort();
  if (pbs::ParseInt32(std::to_string(r->account_type)) != r->account_type) std::abort();
  const std::string rebuilt = "account=" + r->account + "&accountType=" + std::to_string(r->account_type);
  const std::optional<pbs::FetchRequest> again = pbs::ParseFetchBody(rebuilt);
  if (!again || again->account != r->account || again->account_type != r->account_type) std::abort();
  return 0;
}
