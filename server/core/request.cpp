#include "server/core/request.h"

namespace pbs {

std::optional<int32_t> ParseInt32(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) return std::nullopt;  // leading zeros never overflow this
  }
  if (negative) value = -value;
  if (value > 2147483647LL) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::optional<FetchRequest> ParseFetchBody(std::string_view body) {
  static constexpr std::string_view kAccount = "account=";
  static constexpr std::string_view kType = "&accountType=";
  if (body.substr(0, kAccount.size()) != kAccount) return std::nullopt;
  const std::size_t type_at = body.rfind(kType);
  if (type_at == std::string_view::npos || type_at < kAccount.size()) return std::nullopt;
  const std::optional<int32_t> type = ParseInt32(body.substr(type_at + kType.size()));
  if (!type) return std::nullopt;
  return FetchRequest{std::string(body.substr(kAccount.size(), type_at - kAccount.size())), *type};
}

}  // namespace pbs
