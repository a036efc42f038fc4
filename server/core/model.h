// The product's own vocabulary, shared by the rules, the database layer and
// the command line. Plain values: nothing here reads a file or a database.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace pbs {

// One name=value entry of a reply, a parameter set or an override.
struct Pair {
  std::string name;
  std::string value;
  bool operator==(const Pair& o) const { return name == o.name && value == o.value; }
};
using Pairs = std::vector<Pair>;

// A calendar day (UTC) as days since 1970-01-01.
struct Date {
  int32_t days = 0;
  bool operator==(const Date& o) const { return days == o.days; }
  bool operator<(const Date& o) const { return days < o.days; }
};

enum class LicenseState { kActive, kSuspended, kRevoked };

// The statuses the server sends in `error`.
enum Status : int {
  kGranted = 100,
  kUnknownAccount = 201,
  kTypeNotAllowed = 202,
  kExpired = 203,
  kSuspended = 204,
  kRevoked = 205,
  kMalformed = 400,
  kUnknownPath = 404,
  kBadMethod = 405,
};

// A license as the vendor keeps it.
struct License {
  std::string id;                    // the vendor's own id, e.g. an order number
  std::vector<std::string> accounts;  // in the order they were added
  uint32_t max_accounts = 1;
  LicenseState state = LicenseState::kActive;
  std::optional<Date> expires;       // valid through 23:59:59 UTC of that day; none: never
  std::vector<int32_t> types;        // the account types allowed; empty: all
  std::string set;                   // the parameter set's name
  Pairs overrides;                   // single values replaced (or added) over the set
  std::string note;
};

// Trials for accounts that are on no license of the product.
struct TrialPolicy {
  int32_t days = 0;          // 0: no trials
  std::string set;           // the set a trial gets
  uint32_t per_hour = 20;    // new trials per hour and product; beyond it 201
};

struct Product {
  std::string name;
  std::string base_path;                // begins and ends with '/'; served at <base path>run/
  TrialPolicy trial;
  std::map<int, std::string> texts;     // reworded refusal texts by status (201..205)
};

// A rule refused the request: the message is one line for the vendor.
struct Refused : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace pbs
