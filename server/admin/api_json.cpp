#include "server/admin/api_json.h"

#include <cctype>

#include "server/core/dates.h"
#include "server/core/rules.h"
#include "server/db/sqlite_admin_store.h"

namespace pbs::admin {

Json LicenseJson(const License& l, const std::optional<FetchLogRow>& last_fetch) {
  Json doc;
  doc["id"] = l.id;
  doc["state"] = StateName(l.state);
  doc["accounts"] = l.accounts;
  doc["max_accounts"] = l.max_accounts;
  doc["expires"] = l.expires ? Json(FormatDate(*l.expires)) : Json(nullptr);
  doc["types"] = l.types;
  doc["set"] = l.set;
  Json overrides = Json::array();
  for (const Pair& p : l.overrides) overrides.push_back(Json{{"name", p.name}, {"value", p.value}});
  doc["overrides"] = overrides;
  doc["note"] = l.note;
  doc["last_fetch"] = last_fetch ? FetchJson(*last_fetch) : Json(nullptr);
  return doc;
}

Json FetchJson(const FetchLogRow& r) {
  return Json{{"time", FormatMicros(ToMicros(r.time))},
              {"account", r.account},
              {"account_type", r.account_type},
              {"peer", r.peer},
              {"https", r.https},
              {"status", r.status},
              {"micros", r.micros},
              {"instance", r.instance}};
}

Json AuditJson(const AuditRow& r) {
  return Json{{"id", r.id},         {"time", FormatMicros(r.time_micros)}, {"actor", r.actor},
              {"via", r.via},       {"peer", r.peer},     {"action", r.action},
              {"product", r.product}, {"subject", r.subject}, {"detail", r.detail}};
}

Json OptionalTime(const std::optional<int64_t>& micros) {
  return micros ? Json(FormatMicros(*micros)) : Json(nullptr);
}

Json TokenJson(const ApiToken& t) {
  return Json{{"id", t.id},
              {"admin", t.admin},
              {"label", t.label},
              {"scope", sqlite::ScopeName(t.scope)},
              {"created", FormatMicros(t.created_micros)},
              {"revoked", OptionalTime(t.revoked_micros)},
              {"last_used", OptionalTime(t.last_used_micros)}};
}

std::optional<int64_t> ParseTime(const std::string& text) {
  if (text.size() <= 16) return ParseSince(text);
  // YYYY-MM-DDTHH:MM:SS[.ffffff]Z
  if (text.size() < 20 || text.back() != 'Z' || text[16] != ':') return std::nullopt;
  const std::optional<int64_t> minute = ParseSince(text.substr(0, 16));
  if (!minute) return std::nullopt;
  if (!std::isdigit(static_cast<unsigned char>(text[17])) || !std::isdigit(static_cast<unsigned char>(text[18]))) {
    return std::nullopt;
  }
  const int seconds = (text[17] - '0') * 10 + (text[18] - '0');
  if (seconds > 59) return std::nullopt;
  int64_t micros = 0;
  const std::string tail = text.substr(19, text.size() - 20);
  if (!tail.empty()) {
    if (tail[0] != '.' || tail.size() < 2 || tail.size() > 7) return std::nullopt;
    std::string digits = tail.substr(1);
    for (char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
    }
    digits.resize(6, '0');
    micros = std::stoll(digits);
  }
  return *minute + seconds * 1000000LL + micros;
}

std::string Dump(const Json& doc) { return doc.dump(-1, ' ', false, Json::error_handler_t::replace); }

}  // namespace pbs::admin
