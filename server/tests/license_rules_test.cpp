// How a license may change: revoked is final, the account cap, overrides.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "server/core/license_rules.h"

namespace {

using pbs::License;
using pbs::LicenseChange;
using pbs::LicenseState;

License Base() {
  License l;
  l.id = "order-1";
  l.accounts = {"100", "200"};
  l.max_accounts = 3;
  l.set = "gold";
  l.overrides = {{"func101", "2"}};
  return l;
}

struct ChangeRow {
  const char* what;
  LicenseState from;
  std::function<void(LicenseChange&)> change;
  const char* refusal;                       // a piece of the message; nullptr: applied
  std::function<bool(const License&)> then;  // checked when applied
};

TEST(ApplyChange, Table) {
  const ChangeRow rows[] = {
      {"suspend", LicenseState::kActive, [](LicenseChange& c) { c.state = LicenseState::kSuspended; }, nullptr,
       [](const License& l) { return l.state == LicenseState::kSuspended; }},
      {"resume", LicenseState::kSuspended, [](LicenseChange& c) { c.state = LicenseState::kActive; }, nullptr,
       [](const License& l) { return l.state == LicenseState::kActive; }},
      {"revoke a suspended license", LicenseState::kSuspended, [](LicenseChange& c) { c.state = LicenseState::kRevoked; },
       nullptr, [](const License& l) { return l.state == LicenseState::kRevoked; }},
      {"resume a revoked license", LicenseState::kRevoked, [](LicenseChange& c) { c.state = LicenseState::kActive; },
       "revoked, which is final", nullptr},
      {"suspend a revoked license", LicenseState::kRevoked,
       [](LicenseChange& c) { c.state = LicenseState::kSuspended; }, "final", nullptr},
      {"revoke again", LicenseState::kRevoked, [](LicenseChange& c) { c.state = LicenseState::kRevoked; }, nullptr,
       [](const License& l) { return l.state == LicenseState::kRevoked; }},
      {"extend a revoked license", LicenseState::kRevoked, [](LicenseChange& c) { c.expires = std::nullopt; c.expires.emplace(); },
       "final", nullptr},
      {"add an account to a revoked license", LicenseState::kRevoked,
       [](LicenseChange& c) { c.add_accounts = {"300"}; }, "final", nullptr},
      {"an account leaves a revoked license", LicenseState::kRevoked,
       [](LicenseChange& c) { c.remove_accounts = {"100"}; }, nullptr,
       [](const License& l) { return l.state == LicenseState::kRevoked && l.accounts == std::vector<std::string>{"200"}; }},
      {"remove and add on a revoked license", LicenseState::kRevoked,
       [](LicenseChange& c) { c.remove_accounts = {"100"}; c.add_accounts = {"300"}; }, "final", nullptr},
      {"a revoked license's note", LicenseState::kRevoked, [](LicenseChange& c) { c.note = "refunded"; }, nullptr,
       [](const License& l) { return l.note == "refunded"; }},
      {"add an account up to the cap", LicenseState::kActive, [](LicenseChange& c) { c.add_accounts = {"300"}; },
       nullptr, [](const License& l) { return l.accounts == std::vector<std::string>{"100", "200", "300"}; }},
      {"one account beyond the cap", LicenseState::kActive,
       [](LicenseChange& c) { c.add_accounts = {"300", "400"}; }, "more than its --max-accounts 3", nullptr},
      {"an account already there counts once", LicenseState::kActive,
       [](LicenseChange& c) { c.add_accounts = {"100", "300"}; }, nullptr,
       [](const License& l) { return l.accounts.size() == 3; }},
      {"remove before add: a swap at the cap", LicenseState::kActive,
       [](LicenseChange& c) {
         c.max_accounts = 2;
         c.remove_accounts = {"100"};
         c.add_accounts = {"300"};
       },
       nullptr, [](const License& l) { return l.accounts == std::vector<std::string>{"200", "300"}; }},
      {"lower the cap below the accounts", LicenseState::kActive, [](LicenseChange& c) { c.max_accounts = 1; },
       "more than its --max-accounts 1", nullptr},
      {"remove an account it lacks", LicenseState::kActive, [](LicenseChange& c) { c.remove_accounts = {"999"}; },
       "not on license", nullptr},
      {"override replaced by name", LicenseState::kActive, [](LicenseChange& c) { c.overrides = {{"func101", "3"}}; },
       nullptr, [](const License& l) { return l.overrides == pbs::Pairs{{"func101", "3"}}; }},
      {"override added", LicenseState::kActive, [](LicenseChange& c) { c.overrides = {{"lotStep", "0.1"}}; }, nullptr,
       [](const License& l) { return l.overrides == pbs::Pairs{{"func101", "2"}, {"lotStep", "0.1"}}; }},
      {"override cleared", LicenseState::kActive, [](LicenseChange& c) { c.clear_overrides = {"func101"}; }, nullptr,
       [](const License& l) { return l.overrides.empty(); }},
      {"clear an override it lacks", LicenseState::kActive, [](LicenseChange& c) { c.clear_overrides = {"x"}; },
       "no override of x", nullptr},
      {"an override named error", LicenseState::kActive, [](LicenseChange& c) { c.overrides = {{"error", "100"}}; },
       "server's own", nullptr},
      {"types and set", LicenseState::kActive,
       [](LicenseChange& c) {
         c.types = std::vector<int32_t>{0, 1};
         c.set = "silver";
       },
       nullptr, [](const License& l) { return l.types == std::vector<int32_t>{0, 1} && l.set == "silver"; }},
  };
  for (const ChangeRow& row : rows) {
    License l = Base();
    l.state = row.from;
    LicenseChange change;
    row.change(change);
    if (row.refusal) {
      const License before = l;
      try {
        pbs::ApplyChange(l, change);
        ADD_FAILURE() << row.what << ": applied";
      } catch (const pbs::Refused& e) {
        EXPECT_NE(std::string(e.what()).find(row.refusal), std::string::npos) << row.what << ": " << e.what();
      }
    } else {
      EXPECT_NO_THROW(pbs::ApplyChange(l, change)) << row.what;
      EXPECT_TRUE(row.then(l)) << row.what;
    }
  }
}

TEST(CheckBesideOthers, OneAccountAndTypeLeadToOneLicense) {
  auto license = [](const char* id, std::vector<std::string> accounts, std::vector<int32_t> types) {
    License l;
    l.id = id;
    l.accounts = std::move(accounts);
    l.types = std::move(types);
    l.set = "s";
    return l;
  };
  const struct {
    const char* what;
    License mine;
    std::vector<License> others;
    bool ok;
  } rows[] = {
      {"no shared account", license("a", {"1"}, {}), {license("b", {"2"}, {})}, true},
      {"shared account, all types both", license("a", {"1"}, {}), {license("b", {"1"}, {})}, false},
      {"shared account, all against one type", license("a", {"1"}, {0}), {license("b", {"1"}, {})}, false},
      {"shared account, apart types", license("a", {"1"}, {0}), {license("b", {"1"}, {1})}, true},
      {"shared account, a type in common", license("a", {"1"}, {0, 2}), {license("b", {"1"}, {1, 2})}, false},
      {"itself", license("a", {"1"}, {}), {license("a", {"1"}, {})}, true},
  };
  for (const auto& row : rows) {
    bool ok = true;
    try {
      pbs::CheckBesideOthers(row.mine, row.others);
    } catch (const pbs::Refused&) {
      ok = false;
    }
    EXPECT_EQ(ok, row.ok) << row.what;
  }
}

}  // namespace
