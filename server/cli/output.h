// What the commands print: one JSON document with --json (a list is an
// array of objects), else lines for a person. Texts that are not UTF-8
// (an account is any bytes) have their bad bytes replaced in JSON.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "server/app/fetch_service.h"
#include "server/core/model.h"

namespace pbs::cli {

using Json = nlohmann::ordered_json;

Json LicenseJson(const std::string& product, const License& license);
Json ProductJson(const Product& product);
Json PairsJson(const Pairs& pairs);     // {"name": "value", ...} in order
Json LogRowJson(const FetchLogRow& row);

std::string LicenseText(const std::string& product, const License& license);
std::string LicenseLine(const License& license);   // one line for `license list`
std::string ProductText(const Product& product);
std::string LogRowLine(const FetchLogRow& row);

// Prints `doc` and a newline to stdout.
void PrintJson(const Json& doc);

}  // namespace pbs::cli
