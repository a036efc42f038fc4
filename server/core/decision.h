// The license decision: which status, text and parameters one fetch gets.
// A pure function of what the database holds at the moment of the fetch.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/model.h"

namespace pbs {

// A license the fetching account is on, its set already looked up.
struct Holding {
  LicenseState state = LicenseState::kActive;
  std::optional<Date> expires;
  std::vector<int32_t> types;   // empty: all
  Pairs set;
  Pairs overrides;
};

// The product's trials as they stand for the fetching account.
struct TrialFacts {
  std::optional<Date> held_until;  // the trial this account was given (ever), through that day
  Pairs held_set;                  // the set of that trial
  int32_t offer_days = 0;          // the product's policy now; 0: no new trials
  Pairs offer_set;
  bool cap_reached = false;        // this hour's new trials are used up
};

struct Decision {
  int status = kUnknownAccount;
  Pairs reply;                          // `error` first; errorD with every refusal
  std::optional<Date> new_trial_until;  // set: the reply starts a trial lasting through that day
};

// The default text of a refusal, or the product's rewording; "{date}" in
// the 203 text becomes the expiry date (YYYY-MM-DD).
std::string RefusalText(const std::map<int, std::string>& texts, int status, std::optional<Date> expires);

// The set with each override's value in place of the set's; overrides of
// names the set lacks follow it, in their own order.
Pairs ApplyOverrides(const Pairs& set, const Pairs& overrides);

// The account's licenses decide when it is on any:
//  - the license that allows `type` (at most one: the rules keep the types of
//    one account's licenses apart) answers: revoked 205, else suspended 204,
//    else expired 203 (an expiry date is valid through 23:59:59 UTC), else
//    100 with its set and overrides;
//  - when none allows the type, the first of 205, 204, 203 that any of them
//    has, else 202.
// On no license: a trial the account was given decides as an active license
// of every type; else the product may start one (not for an empty account,
// not beyond the hourly cap), lasting through the day `offer_days` after
// today; else 201.
Decision Decide(const std::vector<Holding>& licenses, const TrialFacts& trial,
                const std::map<int, std::string>& texts, std::string_view account, int32_t type,
                std::chrono::system_clock::time_point now);

}  // namespace pbs
