// The rules of a license's life: what may be created and how it may change.
// Pure: the database layer loads, applies these and stores in one
// transaction; a broken rule throws Refused with the line the vendor sees.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "server/core/model.h"

namespace pbs {

// One command's change to a license; unset members leave it as it is.
struct LicenseChange {
  std::vector<std::string> add_accounts;
  std::vector<std::string> remove_accounts;
  std::optional<uint32_t> max_accounts;
  std::optional<std::vector<int32_t>> types;
  std::optional<std::string> set;
  Pairs overrides;                         // added or replaced, by name
  std::vector<std::string> clear_overrides;
  std::optional<std::string> note;
  std::optional<std::optional<Date>> expires;  // a date, or never
  std::optional<LicenseState> state;
};

// Throws Refused unless `license` is whole: id, accounts (at most
// max_accounts, which is 1..kMaxAccountsPerLicense), set name, overrides.
void CheckLicense(const License& license);

// Applies `change` to `license` or throws Refused. Revoked is final: a
// revoked license takes no change but its note (and revoke again).
// Accounts are removed before others are added; removing an account the
// license lacks, or clearing an override it lacks, is refused.
void ApplyChange(License& license, const LicenseChange& change);

// Throws Refused when `license` shares an account with one of `others`
// (other licenses of the same product) and their types overlap: one
// account and type must lead to one license.
void CheckBesideOthers(const License& license, const std::vector<License>& others);

// The product-wide rules of `license` in `product`, over what the database
// read: `set` is its set as stored (none: the product has no such set), and
// `others` every license of the product holding one of its accounts. The
// set exists, the overrides fit over it (the reply format's rules), and
// CheckBesideOthers holds. Throws Refused.
void CheckInProduct(const std::string& product, const License& license, const std::optional<Pairs>& set,
                    const std::vector<License>& others);

}  // namespace pbs
