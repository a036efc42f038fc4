// The request body and the URL split of the form POST.
#pragma once

#include <map>
#include <string>
#include <string_view>

namespace pb {

// Field name -> value, ordered by byte value, so "account" goes before
// "accountType".
using FieldMap = std::map<std::string, std::string>;

// name=value pairs in the map's order, joined by '&'. Nothing is escaped:
// '&', '=', '%', '+', spaces and bytes above 0x7F pass unchanged, although the
// body is declared application/x-www-form-urlencoded. An empty map gives "".
std::string EncodeForm(const FieldMap& fields);

struct UrlParts {
  bool secure = false;  // "https:" rather than "http:"
  std::string host;     // used whole; a ":port" stays part of it
  std::string path;     // without its leading '/'; may be empty
};

// Splits scheme "//" host ["/" path]. The scheme (everything before the first
// '/') must be exactly "http:" or "https:", case counting; anything else
// fails. The character after the first '/' is skipped unexamined. The host
// runs up to the next '/', the path is what follows it (a query included).
// Fails, too, when nothing follows the scheme's two characters.
bool SplitUrl(std::string_view url, UrlParts& parts);

}  // namespace pb
