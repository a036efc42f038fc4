// The server's import parsers (the stand-in's JSON and license CSV) on any
// bytes: a plan whose every set and license passes the rules, or Refused;
// never a crash or another exception.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/core/import.h"
#include "server/core/license_rules.h"
#include "server/core/rules.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const pbs::ImportPlan plan = pbs::ParseImport(text, {"imported-1"});
    for (const pbs::ImportedSet& set : plan.sets) {
      if (pbs::CheckPairs(set.pairs) || pbs::CheckSetName(set.name) || set.name == "imported-1") std::abort();
    }
    for (const pbs::License& license : plan.licenses) pbs::CheckLicense(license);
  } catch (const pbs::Refused&) {
  }
  return 0;
}
