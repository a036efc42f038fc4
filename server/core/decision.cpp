#include "server/core/decision.h"

#include <algorithm>

#include "server/core/dates.h"
#include "server/core/reply.h"
#include "server/core/rules.h"

namespace pbs {
namespace {

// The refusal of one license apart from its types, or 100.
int Judge(const Holding& h, Date today) {
  if (h.state == LicenseState::kRevoked) return kRevoked;
  if (h.state == LicenseState::kSuspended) return kSuspended;
  if (h.expires && *h.expires < today) return kExpired;
  return kGranted;
}

bool Allows(const Holding& h, int32_t type) {
  return h.types.empty() || std::find(h.types.begin(), h.types.end(), type) != h.types.end();
}

Decision Answer(const Holding& h, int status, const std::map<int, std::string>& texts) {
  Decision d;
  d.status = status;
  if (status == kGranted) {
    d.reply.push_back({"error", "100"});
    const Pairs params = ApplyOverrides(h.set, h.overrides);
    d.reply.insert(d.reply.end(), params.begin(), params.end());
  } else {
    d.reply = RefusalPairs(status, RefusalText(texts, status, h.expires));
  }
  return d;
}

}  // namespace

std::string RefusalText(const std::map<int, std::string>& texts, int status, std::optional<Date> expires) {
  std::string text;
  const auto custom = texts.find(status);
  if (custom != texts.end()) {
    text = custom->second;
  } else {
    switch (status) {
      case kUnknownAccount: text = "Unknown account"; break;
      case kTypeNotAllowed: text = "Account type not allowed"; break;
      case kExpired: text = "License expired on {date}"; break;
      case kSuspended: text = "License suspended"; break;
      case kRevoked: text = "License revoked"; break;
      case kMalformed: text = "Malformed request"; break;
      case kUnknownPath: text = "Unknown path"; break;
      case kBadMethod: text = "Method not allowed"; break;
      default: text = "Refused"; break;
    }
  }
  if (status == kExpired) {
    const std::string date = expires ? FormatDate(*expires) : "an unknown date";
    for (std::size_t at = text.find("{date}"); at != std::string::npos; at = text.find("{date}", at + date.size())) {
      text.replace(at, 6, date);
    }
  }
  return text;
}

Pairs ApplyOverrides(const Pairs& set, const Pairs& overrides) {
  Pairs out = set;
  for (const Pair& o : overrides) {
    auto it = std::find_if(out.begin(), out.end(), [&](const Pair& p) { return p.name == o.name; });
    if (it != out.end()) {
      it->value = o.value;
    } else {
      out.push_back(o);
    }
  }
  return out;
}

Decision Decide(const std::vector<Holding>& licenses, const TrialFacts& trial,
                const std::map<int, std::string>& texts, std::string_view account, int32_t type,
                std::chrono::system_clock::time_point now) {
  const Date today = DayOf(now);
  if (!licenses.empty()) {
    for (const Holding& h : licenses) {
      if (Allows(h, type)) return Answer(h, Judge(h, today), texts);
    }
    for (int status : {kRevoked, kSuspended, kExpired}) {
      for (const Holding& h : licenses) {
        if (Judge(h, today) == status) return Answer(h, status, texts);
      }
    }
    return Answer(licenses.front(), kTypeNotAllowed, texts);
  }
  if (trial.held_until) {
    Holding h;
    h.expires = trial.held_until;
    h.set = trial.held_set;
    return Answer(h, Judge(h, today), texts);
  }
  // Only for an account a license could hold: posting long or odd texts
  // never leaves rows that no command can name.
  if (trial.offer_days > 0 && !CheckAccount(account) && !trial.cap_reached) {
    Holding h;
    h.expires = Date{today.days + trial.offer_days};
    h.set = trial.offer_set;
    Decision d = Answer(h, kGranted, texts);
    d.new_trial_until = h.expires;
    return d;
  }
  Decision d;
  d.status = kUnknownAccount;
  d.reply = RefusalPairs(kUnknownAccount, RefusalText(texts, kUnknownAccount, std::nullopt));
  return d;
}

}  // namespace pbs
