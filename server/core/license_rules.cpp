#include "server/core/license_rules.h"

#include <algorithm>

#include "server/core/decision.h"
#include "server/core/rules.h"

namespace pbs {
namespace {

void Require(const Problem& problem) {
  if (problem) throw Refused(*problem);
}

bool Contains(const std::vector<std::string>& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

}  // namespace

void CheckLicense(const License& license) {
  Require(CheckLicenseId(license.id));
  Require(CheckSetName(license.set));
  if (license.max_accounts < 1 || license.max_accounts > kMaxAccountsPerLicense) {
    throw Refused("--max-accounts must be 1 to " + std::to_string(kMaxAccountsPerLicense));
  }
  for (const std::string& account : license.accounts) Require(CheckAccount(account));
  if (license.accounts.size() > license.max_accounts) {
    throw Refused("license " + license.id + " would hold " + std::to_string(license.accounts.size()) +
                  " accounts, more than its --max-accounts " + std::to_string(license.max_accounts));
  }
  Require(CheckPairs(license.overrides));
  if (license.note.size() > 1000) throw Refused("a note holds at most 1000 bytes");
}

void ApplyChange(License& license, const LicenseChange& change) {
  if (license.state == LicenseState::kRevoked) {
    // An account may still leave a revoked license (a refunded customer who
    // buys again gets a new license): the license itself stays revoked.
    const bool only_note = change.add_accounts.empty() &&
                           !change.max_accounts && !change.types && !change.set && change.overrides.empty() &&
                           change.clear_overrides.empty() && !change.expires &&
                           (!change.state || *change.state == LicenseState::kRevoked);
    if (!only_note) {
      throw Refused("license " + license.id + " is revoked, which is final: only its note can change and accounts leave it");
    }
  }
  for (const std::string& account : change.remove_accounts) {
    auto it = std::find(license.accounts.begin(), license.accounts.end(), account);
    if (it == license.accounts.end()) {
      throw Refused("account " + account + " is not on license " + license.id);
    }
    license.accounts.erase(it);
  }
  for (const std::string& account : change.add_accounts) {
    if (!Contains(license.accounts, account)) license.accounts.push_back(account);
  }
  if (change.max_accounts) license.max_accounts = *change.max_accounts;
  if (change.types) license.types = *change.types;
  if (change.set) license.set = *change.set;
  for (const std::string& name : change.clear_overrides) {
    auto it = std::find_if(license.overrides.begin(), license.overrides.end(),
                           [&](const Pair& p) { return p.name == name; });
    if (it == license.overrides.end()) {
      throw Refused("license " + license.id + " has no override of " + name);
    }
    license.overrides.erase(it);
  }
  for (const Pair& o : change.overrides) {
    auto it = std::find_if(license.overrides.begin(), license.overrides.end(),
                           [&](const Pair& p) { return p.name == o.name; });
    if (it != license.overrides.end()) {
      it->value = o.value;
    } else {
      license.overrides.push_back(o);
    }
  }
  if (change.note) license.note = *change.note;
  if (change.expires) license.expires = *change.expires;
  if (change.state) license.state = *change.state;
  CheckLicense(license);
}

void CheckBesideOthers(const License& license, const std::vector<License>& others) {
  for (const License& other : others) {
    if (other.id == license.id) continue;
    for (const std::string& account : license.accounts) {
      if (Contains(other.accounts, account) && TypesOverlap(license.types, other.types)) {
        throw Refused("account " + account + " is already on license " + other.id + " for types " +
                      FormatTypes(other.types) + "; one account may be on several licenses only for different types");
      }
    }
  }
}

void CheckInProduct(const std::string& product, const License& license, const std::optional<Pairs>& set,
                    const std::vector<License>& others) {
  if (!set) throw Refused("product " + product + " has no set " + license.set + " (set put makes one)");
  if (Problem p = CheckPairs(ApplyOverrides(*set, license.overrides))) {
    throw Refused("set " + license.set + " with the overrides of license " + license.id + ": " + *p);
  }
  CheckBesideOthers(license, others);
}

}  // namespace pbs
