// The reply format: standard Base64 (padded, one line, nothing before or
// after) of name=value&name=value..., `error` first.
#pragma once

#include <string>
#include <string_view>

#include "server/core/model.h"

namespace pbs {

std::string Base64Encode(std::string_view bytes);

// "name=value&..." in order, then Base64. The pairs must already satisfy
// CheckPair (server/core/rules.h): nothing is escaped here.
std::string EncodeReply(const Pairs& pairs);

// A refusal: error=<status>&errorD=<text>.
Pairs RefusalPairs(int status, const std::string& text);

// The shortest text that reads back as exactly `value` (std::to_chars):
// 0.1 -> "0.1", 1e21 -> "1e+21", 3.0 -> "3", -0.0 -> "-0". Not finite
// values cannot be sent; they give nothing (empty text).
std::string FormatNumber(double value);

}  // namespace pbs
