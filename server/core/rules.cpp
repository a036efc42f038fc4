#include "server/core/rules.h"

#include <algorithm>
#include <set>

#include "server/core/request.h"

namespace pbs {
namespace {

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text.substr(0, 80)) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  if (text.size() > 80) out += "...";
  return out + "\"";
}

bool HasFormatByte(std::string_view text) {
  return text.find_first_of(std::string_view("=&\0", 3)) != std::string_view::npos;
}

bool AllOf(std::string_view text, std::string_view extra) {
  return std::all_of(text.begin(), text.end(), [&](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
           extra.find(c) != std::string_view::npos;
  });
}

}  // namespace

Problem CheckParameterName(std::string_view name) {
  if (name.empty()) return std::string("a parameter name must not be empty");
  if (HasFormatByte(name)) {
    return "parameter name " + Quoted(name) + " holds '=', '&' or NUL, which the reply format cannot carry";
  }
  if (name.size() > kMaxNameBytes) {
    return "parameter name " + Quoted(name) + " is longer than " + std::to_string(kMaxNameBytes) + " bytes";
  }
  if (name == "error" || name == "errorD") {
    return "parameter name " + Quoted(name) + " is the server's own (the status and its text)";
  }
  return std::nullopt;
}

Problem CheckParameterValue(std::string_view name, std::string_view value) {
  if (value.empty()) {
    return "the value of " + Quoted(name) + " is empty, which the reply format cannot carry (it would shift every later pair)";
  }
  if (HasFormatByte(value)) {
    return "the value of " + Quoted(name) + " (" + Quoted(value) +
           ") holds '=', '&' or NUL, which the reply format cannot carry";
  }
  if (value.size() > kMaxValueBytes) {
    return "the value of " + Quoted(name) + " is longer than " + std::to_string(kMaxValueBytes) + " bytes";
  }
  return std::nullopt;
}

Problem CheckPairs(const Pairs& pairs) {
  if (pairs.size() > kMaxPairs) {
    return "a set holds at most " + std::to_string(kMaxPairs) + " parameters, not " + std::to_string(pairs.size());
  }
  std::set<std::string_view> seen;
  std::size_t size = 0;
  for (const Pair& p : pairs) {
    if (Problem problem = CheckParameterName(p.name)) return problem;
    if (Problem problem = CheckParameterValue(p.name, p.value)) return problem;
    if (!seen.insert(p.name).second) return "parameter " + Quoted(p.name) + " is given twice";
    size += p.name.size() + p.value.size() + 2;
  }
  if (size > kMaxReplyText) {
    return "the parameters make a reply of " + std::to_string(size) + " bytes; at most " +
           std::to_string(kMaxReplyText) + " are allowed";
  }
  return std::nullopt;
}

std::optional<Pair> SplitPairArgument(std::string_view text, std::string* problem) {
  const std::size_t eq = text.find('=');
  if (eq == std::string_view::npos) {
    *problem = Quoted(text) + " is not name=value";
    return std::nullopt;
  }
  Pair pair{std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
  if (Problem p = CheckParameterName(pair.name)) {
    *problem = *p;
    return std::nullopt;
  }
  if (Problem p = CheckParameterValue(pair.name, pair.value)) {
    *problem = *p;
    return std::nullopt;
  }
  return pair;
}

Problem CheckRefusalText(int status, std::string_view text) {
  if (status < kUnknownAccount || status > kRevoked) {
    return "status " + std::to_string(status) + " has no text of its own: only 201 to 205 can be reworded";
  }
  if (text.empty()) return std::string("a refusal text must not be empty (the customer would see nothing)");
  if (HasFormatByte(text)) return "the text " + Quoted(text) + " holds '=', '&' or NUL, which the reply format cannot carry";
  // As sent: each {date} becomes YYYY-MM-DD, four bytes longer.
  std::size_t sent = text.size();
  for (std::size_t at = text.find("{date}"); at != std::string_view::npos; at = text.find("{date}", at + 6)) sent += 4;
  if (sent > kMaxTextBytes) {
    return "the text is " + std::to_string(sent) + " bytes as sent; the module shows at most " +
           std::to_string(kMaxTextBytes);
  }
  if (status != kExpired && text.find("{date}") != std::string_view::npos) {
    return "only the 203 (expired) text can name {date}";
  }
  return std::nullopt;
}

Problem CheckProductName(std::string_view name) {
  if (name.empty() || name.size() > 64 || !AllOf(name, "_.-")) {
    return "product name " + Quoted(name) + " must be 1 to 64 letters, digits, '_', '.' or '-'";
  }
  return std::nullopt;
}

Problem CheckSetName(std::string_view name) {
  if (name.empty() || name.size() > 128 || !AllOf(name, "_.:/+-")) {
    return "set name " + Quoted(name) + " must be 1 to 128 letters, digits, '_', '.', ':', '/', '+' or '-'";
  }
  return std::nullopt;
}

Problem CheckLicenseId(std::string_view id) {
  const bool control = std::any_of(id.begin(), id.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (id.empty() || id.size() > 128 || control || id.find(',') != std::string_view::npos) {
    return "license id " + Quoted(id) + " must be 1 to 128 bytes without control characters or ','";
  }
  return std::nullopt;
}

Problem CheckAccount(std::string_view account) {
  if (account.empty()) return std::string("an account must not be empty");
  if (account.size() > kMaxAccountBytes || account.find('\0') != std::string_view::npos ||
      account.find(',') != std::string_view::npos) {
    return "account " + Quoted(account) + " must be at most " + std::to_string(kMaxAccountBytes) +
           " bytes without NUL or ','";
  }
  return std::nullopt;
}

Problem CheckBasePath(std::string_view path) {
  if (path.size() < 1 || path.size() > 200 || path.front() != '/' || path.back() != '/' ||
      !AllOf(path, "._~/-") || path.find("//") != std::string_view::npos) {
    return "base path " + Quoted(path) +
           " must begin and end with '/' and hold only letters, digits, '.', '_', '~', '-' and single '/'";
  }
  return std::nullopt;
}

std::optional<std::vector<int32_t>> ParseTypes(std::string_view text) {
  if (text == "all") return std::vector<int32_t>{};
  std::vector<int32_t> types;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::optional<int32_t> t = ParseInt32(text.substr(0, comma));
    if (!t) return std::nullopt;
    types.push_back(*t);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  std::sort(types.begin(), types.end());
  types.erase(std::unique(types.begin(), types.end()), types.end());
  return types;
}

std::string FormatTypes(const std::vector<int32_t>& types) {
  if (types.empty()) return "all";
  std::string out;
  for (int32_t t : types) {
    if (!out.empty()) out += ',';
    out += std::to_string(t);
  }
  return out;
}

bool TypesOverlap(const std::vector<int32_t>& a, const std::vector<int32_t>& b) {
  if (a.empty() || b.empty()) return true;
  for (int32_t t : a) {
    if (std::find(b.begin(), b.end(), t) != b.end()) return true;
  }
  return false;
}

std::optional<std::vector<std::string>> ParseAccountList(std::string_view text, std::string* problem) {
  std::vector<std::string> out;
  for (;;) {
    const std::size_t comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    if (Problem p = CheckAccount(item)) {
      *problem = *p;
      return std::nullopt;
    }
    if (std::find(out.begin(), out.end(), item) == out.end()) out.emplace_back(item);
    if (comma == std::string_view::npos) return out;
    text.remove_prefix(comma + 1);
  }
}

const char* StateName(LicenseState state) {
  switch (state) {
    case LicenseState::kActive: return "active";
    case LicenseState::kSuspended: return "suspended";
    case LicenseState::kRevoked: return "revoked";
  }
  return "active";
}

std::optional<LicenseState> ParseState(std::string_view text) {
  if (text == "active") return LicenseState::kActive;
  if (text == "suspended") return LicenseState::kSuspended;
  if (text == "revoked") return LicenseState::kRevoked;
  return std::nullopt;
}

}  // namespace pbs
