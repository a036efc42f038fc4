#include "server/cli/output.h"

#include <iostream>
#include <string_view>

#include "server/core/dates.h"
#include "server/core/decision.h"
#include "server/core/rules.h"

namespace pbs::cli {
namespace {

std::string ExpiresText(const std::optional<Date>& expires) { return expires ? FormatDate(*expires) : "never"; }

std::string PairsText(const Pairs& pairs) {
  std::string out;
  for (const Pair& p : pairs) out += (out.empty() ? "" : " ") + p.name + "=" + p.value;
  return out;
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

}  // namespace

Json PairsJson(const Pairs& pairs) {
  Json doc = Json::object();
  for (const Pair& p : pairs) doc[p.name] = p.value;
  return doc;
}

Json LicenseJson(const std::string& product, const License& l) {
  Json doc;
  doc["product"] = product;
  doc["id"] = l.id;
  doc["state"] = StateName(l.state);
  doc["accounts"] = l.accounts;
  doc["max_accounts"] = l.max_accounts;
  doc["expires"] = l.expires ? Json(FormatDate(*l.expires)) : Json(nullptr);
  doc["types"] = l.types.empty() ? Json("all") : Json(l.types);
  doc["set"] = l.set;
  doc["overrides"] = PairsJson(l.overrides);
  doc["note"] = l.note;
  return doc;
}

Json ProductJson(const Product& p) {
  Json doc;
  doc["name"] = p.name;
  doc["base_path"] = p.base_path;
  doc["trial"] = {{"days", p.trial.days},
                  {"set", p.trial.days > 0 ? Json(p.trial.set) : Json(nullptr)},
                  {"per_hour", p.trial.per_hour}};
  Json texts = Json::object();
  for (int status = kUnknownAccount; status <= kRevoked; ++status) {
    const auto it = p.texts.find(status);
    texts[std::to_string(status)] = it != p.texts.end() ? it->second : RefusalText({}, status, std::nullopt);
  }
  // The default 203 text names the date as the product's own would.
  if (!p.texts.count(kExpired)) texts["203"] = "License expired on {date}";
  doc["texts"] = texts;
  return doc;
}

Json LogRowJson(const FetchLogRow& r) {
  Json doc;
  doc["time"] = FormatMicros(ToMicros(r.time));
  doc["product"] = r.product;
  doc["account"] = r.account;
  doc["account_type"] = r.account_type;
  doc["peer"] = r.peer;
  doc["https"] = r.https;
  doc["status"] = r.status;
  doc["micros"] = r.micros;
  doc["instance"] = r.instance;
  return doc;
}

std::string LicenseText(const std::string& product, const License& l) {
  std::string out;
  out += "product:      " + product + "\n";
  out += "license:      " + l.id + "\n";
  out += "state:        " + std::string(StateName(l.state)) + "\n";
  out += "accounts:     " + Join(l.accounts) + " (at most " + std::to_string(l.max_accounts) + ")\n";
  out += "expires:      " + ExpiresText(l.expires) + "\n";
  out += "types:        " + FormatTypes(l.types) + "\n";
  out += "set:          " + l.set + "\n";
  out += "overrides:    " + PairsText(l.overrides) + "\n";
  out += "note:         " + l.note + "\n";
  return out;
}

std::string LicenseLine(const License& l) {
  return l.id + "\t" + StateName(l.state) + "\texpires " + ExpiresText(l.expires) + "\ttypes " +
         FormatTypes(l.types) + "\tset " + l.set + "\taccounts " + Join(l.accounts);
}

std::string ProductText(const Product& p) {
  std::string out;
  out += "product:      " + p.name + "\n";
  out += "base path:    " + p.base_path + " (fetches at " + p.base_path + "run/)\n";
  out += "trial:        " +
         (p.trial.days > 0 ? std::to_string(p.trial.days) + " days, set " + p.trial.set + ", at most " +
                                 std::to_string(p.trial.per_hour) + " new a hour"
                           : std::string("off")) +
         "\n";
  for (int status = kUnknownAccount; status <= kRevoked; ++status) {
    const auto it = p.texts.find(status);
    out += "text " + std::to_string(status) + ":     " +
           (it != p.texts.end() ? it->second
                                : status == kExpired ? "License expired on {date}"
                                                     : RefusalText({}, status, std::nullopt)) +
           "\n";
  }
  return out;
}

namespace {

// The account as a client sent it may hold any byte: control bytes and the
// backslash are written as \xNN, so that a line of the log is one fetch and
// no sent text can forge another line or reach the operator's terminal.
std::string Printable(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f || c == '\\') {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string LogRowLine(const FetchLogRow& r) {
  return FormatMicros(ToMicros(r.time)) + "  " + std::to_string(r.status) + "  account " + Printable(r.account) + " type " +
         std::to_string(r.account_type) + "  " + (r.https ? "https" : "http") + " " + r.peer + "  " +
         std::to_string(r.micros) + " us" + (r.instance.empty() ? "" : "  " + r.instance);
}

void PrintJson(const Json& doc) {
  std::cout << doc.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

}  // namespace pbs::cli
