// The license decision as tables: state x expiry (and the moment of the
// fetch around midnight UTC) x type x trial x overrides.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "server/core/dates.h"
#include "server/core/decision.h"

namespace {

using pbs::Date;
using pbs::LicenseState;
using pbs::Pairs;
using Clock = std::chrono::system_clock;

constexpr auto kActive = LicenseState::kActive;
constexpr auto kSuspended = LicenseState::kSuspended;
constexpr auto kRevoked = LicenseState::kRevoked;

Date Day(const char* text) { return *pbs::ParseDate(text); }

// "YYYY-MM-DD HH:MM:SS" UTC.
Clock::time_point At(const std::string& text) {
  const Date day = Day(text.substr(0, 10).c_str());
  const int h = std::stoi(text.substr(11, 2)), m = std::stoi(text.substr(14, 2)), s = std::stoi(text.substr(17, 2));
  return Clock::time_point(std::chrono::seconds(int64_t{day.days} * 86400 + h * 3600 + m * 60 + s));
}

const Pairs kSet = {{"func101", "1.5"}, {"func102", "0.00025"}, {"lotStep", "0.01"}};

std::string Reply(const pbs::Decision& d) {
  std::string out;
  for (const auto& p : d.reply) out += (out.empty() ? "" : "&") + p.name + "=" + p.value;
  return out;
}

struct LicenseRow {
  const char* what;
  LicenseState state;
  std::optional<const char*> expires;
  std::vector<int32_t> types;
  const char* now;
  int32_t type;
  int status;
  std::string reply;
};

TEST(Decide, OneLicenseStateExpiryType) {
  const std::string ok = "error=100&func101=1.5&func102=0.00025&lotStep=0.01";
  const LicenseRow rows[] = {
      {"active, no expiry, all types", kActive, std::nullopt, {}, "2024-02-29 12:00:00", 0, 100, ok},
      {"negative type allowed by all", kActive, std::nullopt, {}, "2024-02-29 12:00:00", -5, 100, ok},
      {"expires tomorrow", kActive, "2024-03-01", {}, "2024-02-29 12:00:00", 0, 100, ok},
      {"expires today, first second", kActive, "2024-02-29", {}, "2024-02-29 00:00:00", 0, 100, ok},
      {"expires today, last second", kActive, "2024-02-29", {}, "2024-02-29 23:59:59", 0, 100, ok},
      {"expired: the next day's first second", kActive, "2024-02-29", {}, "2024-03-01 00:00:00", 0, 203,
       "error=203&errorD=License expired on 2024-02-29"},
      {"expired yesterday", kActive, "2024-02-28", {}, "2024-02-29 12:00:00", 0, 203,
       "error=203&errorD=License expired on 2024-02-28"},
      {"expired years ago", kActive, "1999-12-31", {}, "2024-02-29 12:00:00", 0, 203,
       "error=203&errorD=License expired on 1999-12-31"},
      {"type listed", kActive, std::nullopt, {0, 1}, "2024-02-29 12:00:00", 1, 100, ok},
      {"type not listed", kActive, std::nullopt, {0, 1}, "2024-02-29 12:00:00", 2, 202,
       "error=202&errorD=Account type not allowed"},
      {"extreme type listed", kActive, std::nullopt, {INT32_MIN, INT32_MAX}, "2024-02-29 12:00:00", INT32_MIN, 100, ok},
      {"suspended", kSuspended, std::nullopt, {}, "2024-02-29 12:00:00", 0, 204, "error=204&errorD=License suspended"},
      {"revoked", kRevoked, std::nullopt, {}, "2024-02-29 12:00:00", 0, 205, "error=205&errorD=License revoked"},
      // Several apply: 205, then 204, then 203, then 202.
      {"revoked, expired, type not allowed", kRevoked, "2024-01-01", {7}, "2024-02-29 12:00:00", 0, 205,
       "error=205&errorD=License revoked"},
      {"suspended, expired, type not allowed", kSuspended, "2024-01-01", {7}, "2024-02-29 12:00:00", 0, 204,
       "error=204&errorD=License suspended"},
      {"suspended and expired", kSuspended, "2024-01-01", {}, "2024-02-29 12:00:00", 0, 204,
       "error=204&errorD=License suspended"},
      {"expired, type not allowed", kActive, "2024-01-01", {7}, "2024-02-29 12:00:00", 0, 203,
       "error=203&errorD=License expired on 2024-01-01"},
      {"revoked, type allowed, not expired", kRevoked, "2025-01-01", {0}, "2024-02-29 12:00:00", 0, 205,
       "error=205&errorD=License revoked"},
      {"suspended, type not allowed", kSuspended, std::nullopt, {7}, "2024-02-29 12:00:00", 0, 204,
       "error=204&errorD=License suspended"},
  };
  for (const LicenseRow& row : rows) {
    pbs::Holding h;
    h.state = row.state;
    if (row.expires) h.expires = Day(*row.expires);
    h.types = row.types;
    h.set = kSet;
    const pbs::Decision d = pbs::Decide({h}, {}, {}, "12345", row.type, At(row.now));
    EXPECT_EQ(d.status, row.status) << row.what;
    EXPECT_EQ(Reply(d), row.reply) << row.what;
    EXPECT_FALSE(d.new_trial_until.has_value()) << row.what;
  }
}

TEST(Decide, OverridesOverTheSet) {
  const struct {
    const char* what;
    Pairs overrides;
    std::string reply;
  } rows[] = {
      {"none", {}, "error=100&func101=1.5&func102=0.00025&lotStep=0.01"},
      {"one value replaced in place", {{"func102", "0.5"}}, "error=100&func101=1.5&func102=0.5&lotStep=0.01"},
      {"a new name follows the set", {{"extra", "7"}}, "error=100&func101=1.5&func102=0.00025&lotStep=0.01&extra=7"},
      {"several, in their order", {{"z", "1"}, {"func101", "9"}, {"a", "2"}},
       "error=100&func101=9&func102=0.00025&lotStep=0.01&z=1&a=2"},
  };
  for (const auto& row : rows) {
    pbs::Holding h;
    h.set = kSet;
    h.overrides = row.overrides;
    EXPECT_EQ(Reply(pbs::Decide({h}, {}, {}, "1", 0, At("2024-02-29 12:00:00"))), row.reply) << row.what;
    // A refusal never carries the set or its overrides.
    h.state = kSuspended;
    EXPECT_EQ(Reply(pbs::Decide({h}, {}, {}, "1", 0, At("2024-02-29 12:00:00"))),
              "error=204&errorD=License suspended")
        << row.what;
  }
}

TEST(Decide, LicensesPerType) {
  // One account on several licenses, each for its own types.
  auto license = [](LicenseState state, std::vector<int32_t> types, std::optional<const char*> expires,
                    const char* value) {
    pbs::Holding h;
    h.state = state;
    h.types = std::move(types);
    if (expires) h.expires = Day(*expires);
    h.set = {{"v", value}};
    return h;
  };
  const struct {
    const char* what;
    std::vector<pbs::Holding> licenses;
    int32_t type;
    std::string reply;
  } rows[] = {
      {"the license of the type answers",
       {license(kActive, {0}, std::nullopt, "a"), license(kActive, {1}, std::nullopt, "b")}, 1, "error=100&v=b"},
      {"the other type's license is revoked: this one still answers",
       {license(kRevoked, {0}, std::nullopt, "a"), license(kActive, {1}, std::nullopt, "b")}, 1, "error=100&v=b"},
      {"the type's own license is suspended",
       {license(kActive, {0}, std::nullopt, "a"), license(kSuspended, {1}, std::nullopt, "b")}, 1,
       "error=204&errorD=License suspended"},
      {"no license of the type: the most final refusal of any",
       {license(kSuspended, {0}, std::nullopt, "a"), license(kRevoked, {1}, std::nullopt, "b")}, 2,
       "error=205&errorD=License revoked"},
      {"no license of the type, one expired",
       {license(kActive, {0}, "2020-01-01", "a"), license(kActive, {1}, std::nullopt, "b")}, 2,
       "error=203&errorD=License expired on 2020-01-01"},
      {"no license of the type, all in order", {license(kActive, {0}, std::nullopt, "a"), license(kActive, {1}, std::nullopt, "b")},
       2, "error=202&errorD=Account type not allowed"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Reply(pbs::Decide(row.licenses, {}, {}, "1", row.type, At("2024-02-29 12:00:00"))), row.reply)
        << row.what;
  }
}

TEST(Decide, Trials) {
  const Pairs trial_set = {{"func101", "0.1"}};
  const Pairs held_set = {{"func101", "0.2"}};
  auto licensed = [] {
    pbs::Holding h;
    h.set = {{"func101", "5"}};
    return h;
  };
  const struct {
    const char* what;
    bool on_license;
    std::optional<const char*> held_until;
    int32_t offer_days;
    bool cap_reached;
    const char* account;
    const char* now;
    std::string reply;
    std::optional<const char*> new_trial_until;
  } rows[] = {
      {"no trials, no license", false, std::nullopt, 0, false, "1", "2024-02-29 12:00:00",
       "error=201&errorD=Unknown account", std::nullopt},
      {"a trial starts", false, std::nullopt, 7, false, "1", "2024-02-29 12:00:00", "error=100&func101=0.1",
       "2024-03-07"},
      {"a 1-day trial started at the day's last second", false, std::nullopt, 1, false, "1", "2024-02-29 23:59:59",
       "error=100&func101=0.1", "2024-03-01"},
      {"the hour's trials are used up", false, std::nullopt, 7, true, "1", "2024-02-29 12:00:00",
       "error=201&errorD=Unknown account", std::nullopt},
      {"never a trial for an empty account", false, std::nullopt, 7, false, "", "2024-02-29 12:00:00",
       "error=201&errorD=Unknown account", std::nullopt},
      {"never a trial for an account no license could hold (a ',')", false, std::nullopt, 7, false, "1,2",
       "2024-02-29 12:00:00", "error=201&errorD=Unknown account", std::nullopt},
      {"a running trial, its own set", false, "2024-03-07", 7, false, "1", "2024-03-07 23:59:59",
       "error=100&func101=0.2", std::nullopt},
      {"a trial that ran out: never a second one", false, "2024-03-07", 7, false, "1", "2024-03-08 00:00:00",
       "error=203&errorD=License expired on 2024-03-07", std::nullopt},
      {"a trial that ran out, trials now off", false, "2024-03-07", 0, false, "1", "2024-03-08 00:00:00",
       "error=203&errorD=License expired on 2024-03-07", std::nullopt},
      {"a running trial outlives trials turned off", false, "2024-03-07", 0, false, "1", "2024-03-01 00:00:00",
       "error=100&func101=0.2", std::nullopt},
      {"a license wins over a trial", true, "2024-03-07", 7, false, "1", "2024-02-29 12:00:00",
       "error=100&func101=5", std::nullopt},
      {"a license: no trial starts", true, std::nullopt, 7, false, "1", "2024-02-29 12:00:00",
       "error=100&func101=5", std::nullopt},
  };
  for (const auto& row : rows) {
    pbs::TrialFacts trial;
    if (row.held_until) trial.held_until = Day(*row.held_until);
    trial.held_set = held_set;
    trial.offer_days = row.offer_days;
    trial.offer_set = trial_set;
    trial.cap_reached = row.cap_reached;
    std::vector<pbs::Holding> licenses;
    if (row.on_license) licenses.push_back(licensed());
    const pbs::Decision d = pbs::Decide(licenses, trial, {}, row.account, 0, At(row.now));
    EXPECT_EQ(Reply(d), row.reply) << row.what;
    EXPECT_EQ(d.new_trial_until.has_value(), row.new_trial_until.has_value()) << row.what;
    if (d.new_trial_until && row.new_trial_until) {
      EXPECT_EQ(pbs::FormatDate(*d.new_trial_until), *row.new_trial_until) << row.what;
    }
  }
}

TEST(Decide, ProductTexts) {
  const std::map<int, std::string> texts = {
      {201, "Buy at example.com"},
      {203, "Ended {date}; renew by {date}"},
      {205, "Refunded"},
  };
  pbs::Holding expired;
  expired.expires = Day("2024-01-31");
  pbs::Holding revoked;
  revoked.state = kRevoked;
  pbs::Holding suspended;
  suspended.state = kSuspended;
  const struct {
    const char* what;
    std::vector<pbs::Holding> licenses;
    std::string reply;
  } rows[] = {
      {"unknown", {}, "error=201&errorD=Buy at example.com"},
      {"expired: every {date}", {expired}, "error=203&errorD=Ended 2024-01-31; renew by 2024-01-31"},
      {"revoked", {revoked}, "error=205&errorD=Refunded"},
      {"suspended keeps its default", {suspended}, "error=204&errorD=License suspended"},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(Reply(pbs::Decide(row.licenses, {}, texts, "1", 0, At("2024-02-29 12:00:00"))), row.reply) << row.what;
  }
}

TEST(Dates, ParseFormatAndDays) {
  const struct {
    const char* text;
    std::optional<int32_t> days;
  } rows[] = {
      {"1970-01-01", 0}, {"1970-01-02", 1}, {"2000-02-29", 11016}, {"2024-02-29", 19782}, {"9999-12-31", 2932896},
      {"2023-02-29", std::nullopt}, {"1900-02-29", std::nullopt}, {"2024-04-31", std::nullopt},
      {"2024-13-01", std::nullopt}, {"2024-00-10", std::nullopt}, {"2024-01-00", std::nullopt},
      {"1969-12-31", std::nullopt}, {"2024-1-01", std::nullopt}, {"2024/01/01", std::nullopt},
      {"2024-01-01T00:00", std::nullopt}, {"", std::nullopt}, {"never", std::nullopt},
  };
  for (const auto& row : rows) {
    const std::optional<Date> d = pbs::ParseDate(row.text);
    ASSERT_EQ(d.has_value(), row.days.has_value()) << row.text;
    if (!d) continue;
    EXPECT_EQ(d->days, *row.days) << row.text;
    EXPECT_EQ(pbs::FormatDate(*d), row.text);
  }
  // The day of a moment, across midnight and before 1970.
  EXPECT_EQ(pbs::DayOf(At("2024-02-29 23:59:59")).days, 19782);
  EXPECT_EQ(pbs::DayOf(At("2024-03-01 00:00:00")).days, 19783);
  EXPECT_EQ(pbs::DayOf(Clock::time_point(std::chrono::seconds(-1))).days, -1);
  EXPECT_EQ(pbs::FormatMicros(-1), "1969-12-31T23:59:59.999999Z");
  EXPECT_EQ(pbs::ParseSince("2024-02-29T13:45"), (int64_t{19782} * 86400 + 13 * 3600 + 45 * 60) * 1000000);
  EXPECT_FALSE(pbs::ParseSince("2024-02-29T24:00"));
  EXPECT_FALSE(pbs::ParseSince("2024-02-29 13:45"));
}

}  // namespace
