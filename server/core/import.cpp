#include "server/core/import.h"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "server/core/dates.h"
#include "server/core/license_rules.h"
#include "server/core/reply.h"
#include "server/core/request.h"
#include "server/core/rules.h"

namespace pbs {
namespace {

using Json = nlohmann::ordered_json;

void Require(const Problem& problem, const std::string& where) {
  if (problem) throw Refused(where + ": " + *problem);
}

std::string ValueText(const Json& value, const std::string& where) {
  switch (value.type()) {
    case Json::value_t::number_integer: return std::to_string(value.get<int64_t>());
    case Json::value_t::number_unsigned: return std::to_string(value.get<uint64_t>());
    case Json::value_t::number_float: return FormatNumber(value.get<double>());
    case Json::value_t::string: return value.get<std::string>();
    default: throw Refused(where + ": values must be numbers or strings");
  }
}

std::string_view SkipBomAndSpace(std::string_view text) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  while (!text.empty() && (text[0] == ' ' || text[0] == '\t' || text[0] == '\r' || text[0] == '\n')) {
    text.remove_prefix(1);
  }
  return text;
}

}  // namespace

ImportPlan ParseImport(std::string_view text, const std::set<std::string>& taken_set_names) {
  const std::string_view body = SkipBomAndSpace(text);
  if (!body.empty() && body[0] == '{') return ParseStandInJson(body, taken_set_names);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  return ParseLicenseCsv(text);
}

ImportPlan ParseStandInJson(std::string_view text, const std::set<std::string>& taken_set_names) {
  Json doc;
  try {
    doc = Json::parse(text.begin(), text.end());
  } catch (const Json::exception& e) {
    throw Refused(std::string("not a JSON parameter file: ") + e.what());
  }
  if (!doc.is_object() || !doc.contains("accounts") || !doc["accounts"].is_object()) {
    throw Refused("the top level must be an object with \"accounts\"");
  }
  ImportPlan plan;
  std::map<std::vector<std::pair<std::string, std::string>>, std::string> set_by_pairs;
  int next_number = 1;
  auto set_for = [&](const Pairs& pairs) {
    std::vector<std::pair<std::string, std::string>> key;
    for (const Pair& p : pairs) key.emplace_back(p.name, p.value);
    auto found = set_by_pairs.find(key);
    if (found != set_by_pairs.end()) return found->second;
    std::string name;
    do {
      name = "imported-" + std::to_string(next_number++);
    } while (taken_set_names.count(name));
    set_by_pairs.emplace(key, name);
    plan.sets.push_back({name, pairs});
    return name;
  };
  for (const auto& [account, types] : doc["accounts"].items()) {
    const std::string where = "account \"" + account + "\"";
    if (account == "*") {
      throw Refused("the \"*\" account (every account not listed) cannot be imported: "
                    "give unknown accounts a trial with \"product trial\" instead, or list them");
    }
    Require(CheckAccount(account), where);
    if (!types.is_object() || types.empty()) throw Refused(where + ": expected an object of account types");
    if (types.contains("*") && types.size() > 1) {
      throw Refused(where + " mixes \"*\" with listed types, which licenses per type cannot express: "
                    "list each type, or use \"*\" alone");
    }
    for (const auto& [type_key, params] : types.items()) {
      const std::string where_type = where + " type \"" + type_key + "\"";
      License license;
      license.max_accounts = 1;
      license.accounts = {account};
      license.note = "imported";
      if (type_key == "*") {
        license.id = account;
      } else {
        const std::optional<int32_t> type = ParseInt32(type_key);
        if (!type || std::to_string(*type) != type_key) {
          throw Refused(where_type + " is neither a decimal 32-bit integer nor \"*\"");
        }
        license.id = account + "/" + type_key;
        license.types = {*type};
      }
      if (!params.is_object()) throw Refused(where_type + ": expected an object of parameters");
      Pairs pairs;
      for (const auto& [name, value] : params.items()) {
        pairs.push_back({name, ValueText(value, where_type + " parameter \"" + name + "\"")});
      }
      Require(CheckPairs(pairs), where_type);
      license.set = set_for(pairs);
      try {
        CheckLicense(license);
      } catch (const Refused& e) {
        throw Refused(where_type + ": " + e.what());
      }
      plan.licenses.push_back(std::move(license));
    }
  }
  return plan;
}

std::vector<std::vector<std::string>> ParseCsvRecords(std::string_view text) {
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string field;
  std::size_t line = 1;
  std::size_t i = 0;
  bool field_started = false;
  auto end_field = [&] {
    record.push_back(std::move(field));
    field.clear();
    field_started = false;
  };
  auto end_record = [&] {
    end_field();
    if (!(record.size() == 1 && record[0].empty())) records.push_back(std::move(record));
    record.clear();
  };
  while (i < text.size()) {
    const char c = text[i];
    if (c == '"' && !field_started && field.empty()) {
      ++i;
      for (;;) {
        if (i >= text.size()) throw Refused("line " + std::to_string(line) + ": a quote is left open");
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        if (text[i] == '\n') ++line;
        field += text[i++];
      }
      field_started = true;
      if (i < text.size() && text[i] != ',' && text[i] != '\n' && !(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
        throw Refused("line " + std::to_string(line) + ": text after a closing quote");
      }
      continue;
    }
    if (c == ',') {
      end_field();
      ++i;
    } else if (c == '\n' || (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) {
      end_record();
      i += c == '\r' ? 2 : 1;
      ++line;
    } else {
      field += c;
      field_started = true;
      ++i;
    }
  }
  if (field_started || !field.empty() || !record.empty()) end_record();
  return records;
}

ImportPlan ParseLicenseCsv(std::string_view text) {
  const std::vector<std::vector<std::string>> records = ParseCsvRecords(text);
  if (records.empty()) throw Refused("the CSV file is empty: it needs a header row (id,accounts,set,...)");
  static const std::vector<std::string> kKnown = {"id", "accounts", "set", "types", "expires",
                                                  "max_accounts", "state", "note"};
  std::map<std::string, std::size_t> column;
  for (std::size_t c = 0; c < records[0].size(); ++c) {
    std::string name = records[0][c];
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char ch) { return std::tolower(ch); });
    if (std::find(kKnown.begin(), kKnown.end(), name) == kKnown.end()) {
      throw Refused("CSV header: unknown column \"" + records[0][c] +
                    "\" (known: id, accounts, set, types, expires, max_accounts, state, note)");
    }
    if (!column.emplace(name, c).second) throw Refused("CSV header: column \"" + name + "\" twice");
  }
  for (const char* required : {"id", "accounts", "set"}) {
    if (!column.count(required)) throw Refused(std::string("CSV header: the column \"") + required + "\" is missing");
  }
  ImportPlan plan;
  std::set<std::string> ids;
  for (std::size_t r = 1; r < records.size(); ++r) {
    const std::vector<std::string>& rec = records[r];
    const std::string where = "CSV record " + std::to_string(r);
    if (rec.size() != records[0].size()) {
      throw Refused(where + ": " + std::to_string(rec.size()) + " fields, the header has " +
                    std::to_string(records[0].size()));
    }
    auto get = [&](const char* name) -> std::string {
      auto it = column.find(name);
      return it == column.end() ? std::string() : rec[it->second];
    };
    License license;
    license.id = get("id");
    license.set = get("set");
    if (!get("accounts").empty()) {
      std::string problem;
      auto accounts = ParseAccountList(get("accounts"), &problem);
      if (!accounts) throw Refused(where + ": " + problem);
      license.accounts = *accounts;
    }
    license.max_accounts = std::max<uint32_t>(1, static_cast<uint32_t>(license.accounts.size()));
    if (!get("max_accounts").empty()) {
      const std::optional<int32_t> max = ParseInt32(get("max_accounts"));
      if (!max || *max < 1) throw Refused(where + ": max_accounts \"" + get("max_accounts") + "\" is not a count");
      license.max_accounts = static_cast<uint32_t>(*max);
    }
    if (!get("types").empty()) {
      auto types = ParseTypes(get("types"));
      if (!types) throw Refused(where + ": types \"" + get("types") + "\" must be all or 32-bit integers separated by ','");
      license.types = *types;
    }
    const std::string expires = get("expires");
    if (!expires.empty() && expires != "never") {
      license.expires = ParseDate(expires);
      if (!license.expires) throw Refused(where + ": expires \"" + expires + "\" is not YYYY-MM-DD or never");
    }
    if (!get("state").empty()) {
      const std::optional<LicenseState> state = ParseState(get("state"));
      if (!state) throw Refused(where + ": state \"" + get("state") + "\" is not active, suspended or revoked");
      license.state = *state;
    }
    license.note = get("note");
    try {
      CheckLicense(license);
    } catch (const Refused& e) {
      throw Refused(where + ": " + e.what());
    }
    if (!ids.insert(license.id).second) throw Refused(where + ": license " + license.id + " is listed twice");
    plan.licenses.push_back(std::move(license));
  }
  return plan;
}

}  // namespace pbs
