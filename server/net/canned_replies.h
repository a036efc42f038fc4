// The replies the network layer sends by itself, before any database: a
// request it could not read. Their bodies are in the reply format (Base64 of
// "error=400&errorD=..."), so a client shows the text; the HTTP status is 400.
#pragma once

#include <string>
#include <string_view>

namespace pbs {

// Standard Base64 with padding, on one line.
std::string Base64(std::string_view bytes);

// The request line or headers broke HTTP's rules.
const std::string& MalformedRequestBody();
// The header or body was above its cap.
const std::string& RequestTooLargeBody();

}  // namespace pbs
