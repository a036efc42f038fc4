// Import files parsed into what the database then stores in one go:
//  - the stand-in server's JSON parameter file ({"accounts": {ACCOUNT:
//    {TYPE or "*": {name: value}}}}): one license per account ("*" type:
//    every type, license id = the account) or one per account and type
//    (license id ACCOUNT/TYPE), each with a set of its parameters; equal
//    parameter lists share one set, named imported-1, imported-2, ...
//    The "*" account (every unlisted account) is refused: a product's
//    trial is the way to serve accounts nobody listed.
//  - CSV of licenses with a header row naming its columns: id, accounts,
//    set (required), types, expires, max_accounts, state, note (optional;
//    accounts and types as on the command line, "A,B" quoted).
// Any problem refuses the whole file with a line naming where it is.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "server/core/model.h"

namespace pbs {

struct ImportedSet {
  std::string name;
  Pairs pairs;
};

struct ImportPlan {
  std::vector<ImportedSet> sets;   // to create (their names are not in `taken_set_names`)
  std::vector<License> licenses;   // to add; each names one of `sets` or an existing set
};

// JSON when the first byte that is not white space (after a UTF-8
// byte-order mark) is '{', else CSV. Throws Refused.
ImportPlan ParseImport(std::string_view text, const std::set<std::string>& taken_set_names);

ImportPlan ParseStandInJson(std::string_view text, const std::set<std::string>& taken_set_names);
ImportPlan ParseLicenseCsv(std::string_view text);

// RFC 4180 records: fields split on ',', "quoted" fields may hold ',', CR,
// LF and "" for a quote; lines end in LF or CRLF. Throws Refused on a
// quote left open or text after a closing quote.
std::vector<std::vector<std::string>> ParseCsvRecords(std::string_view text);

}  // namespace pbs
