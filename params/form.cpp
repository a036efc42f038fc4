#include "params/form.h"

namespace pb {

std::string EncodeForm(const FieldMap& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    body += name;
    body += '=';
    body += value;
    body += '&';
  }
  if (!body.empty()) body.pop_back();
  return body;
}

bool SplitUrl(std::string_view url, UrlParts& parts) {
  const std::size_t slash = url.find('/');
  if (slash == std::string_view::npos) return false;
  const std::string_view scheme = url.substr(0, slash);
  if (scheme == "http:") {
    parts.secure = false;
  } else if (scheme == "https:") {
    parts.secure = true;
  } else {
    return false;
  }
  // "http:/" must be followed by one more character (normally the second
  // '/') before the host can begin.
  const std::size_t hostBegin = slash + 2;
  if (hostBegin > url.size()) return false;
  const std::size_t hostEnd = url.find('/', hostBegin);
  if (hostEnd == std::string_view::npos) {
    parts.host = std::string(url.substr(hostBegin));
    parts.path.clear();
  } else {
    parts.host = std::string(url.substr(hostBegin, hostEnd - hostBegin));
    parts.path = std::string(url.substr(hostEnd + 1));
  }
  return true;
}

}  // namespace pb
