#include "server/db/database.h"

namespace pbs {

const char* ScopeName(Scope scope) {
  switch (scope) {
    case Scope::kRead: return "read";
    case Scope::kRevoke: return "revoke";
    case Scope::kFull: return "full";
  }
  return "read";
}

std::optional<Scope> ParseScope(const std::string& text) {
  if (text == "read") return Scope::kRead;
  if (text == "revoke") return Scope::kRevoke;
  if (text == "full") return Scope::kFull;
  return std::nullopt;
}

}  // namespace pbs
