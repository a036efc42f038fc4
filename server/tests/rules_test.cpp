// What the vendor may write: parameter sets, texts, names and lists.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "server/core/rules.h"

namespace {

using pbs::Pairs;

struct SetRow {
  const char* what;
  Pairs pairs;
  const char* problem;   // a piece of the message, nullptr: accepted
};

TEST(CheckPairs, SetValidation) {
  const std::string long_name(256, 'n');
  const std::string long_value(4097, 'v');
  Pairs many;
  for (int i = 0; i < 1001; ++i) many.push_back({"p" + std::to_string(i), "1"});
  Pairs big;   // 20 values of 4000 bytes: each fine, the reply too large
  for (int i = 0; i < 20; ++i) big.push_back({"p" + std::to_string(i), std::string(4000, 'x')});
  const SetRow rows[] = {
      {"the sample", {{"func101", "1.5"}, {"func102", "0.00025"}, {"lotStep", "0.01"}}, nullptr},
      {"an empty set", {}, nullptr},
      {"spaces, bytes above 0x7F, '+' and '/'", {{"a b", "x y"}, {"\xC3\xA9", "\xFF"}, {"c", "+/"}}, nullptr},
      {"a value like 1e2 stays text", {{"n", "1e2"}}, nullptr},
      {"empty value", {{"a", ""}}, "is empty"},
      {"empty name", {{"", "1"}}, "must not be empty"},
      {"'=' in a value", {{"a", "1=2"}}, "cannot carry"},
      {"'&' in a value", {{"a", "1&b"}}, "cannot carry"},
      {"NUL in a value", {{"a", std::string("1\0", 2)}}, "cannot carry"},
      {"'=' in a name", {{"a=b", "1"}}, "cannot carry"},
      {"'&' in a name", {{"a&b", "1"}}, "cannot carry"},
      {"NUL in a name", {{std::string("a\0", 2), "1"}}, "cannot carry"},
      {"error is the server's", {{"error", "100"}}, "server's own"},
      {"errorD is the server's", {{"errorD", "x"}}, "server's own"},
      {"names are case-sensitive: Error is fine", {{"Error", "1"}}, nullptr},
      {"a name twice", {{"a", "1"}, {"b", "2"}, {"a", "3"}}, "given twice"},
      {"a name too long", {{long_name, "1"}}, "longer than 255"},
      {"a value too long", {{"a", long_value}}, "longer than 4096"},
      {"too many parameters", many, "at most 1000"},
      {"a reply too large", big, "at most 65536"},
  };
  for (const SetRow& row : rows) {
    const pbs::Problem problem = pbs::CheckPairs(row.pairs);
    if (!row.problem) {
      EXPECT_FALSE(problem.has_value()) << row.what << ": " << problem.value_or("");
    } else {
      ASSERT_TRUE(problem.has_value()) << row.what;
      EXPECT_NE(problem->find(row.problem), std::string::npos) << row.what << ": " << *problem;
      EXPECT_EQ(problem->find('\n'), std::string::npos) << "one line: " << *problem;
    }
  }
}

TEST(SplitPairArgument, Table) {
  const struct {
    const char* text;
    bool ok;
    const char* name;
    const char* value;
  } rows[] = {
      {"a=1", true, "a", "1"},       {"func102=0.00025", true, "func102", "0.00025"},
      {"a==1", false, "", ""},       // the value would hold '='
      {"a=", false, "", ""},         {"=1", false, "", ""},
      {"a=1&b=2", false, "", ""},    {"error=100", false, "", ""},
  };
  for (const auto& row : rows) {
    std::string problem;
    const std::optional<pbs::Pair> pair = pbs::SplitPairArgument(row.text, &problem);
    ASSERT_EQ(pair.has_value(), row.ok) << row.text;
    if (pair) {
      EXPECT_EQ(pair->name, row.name);
      EXPECT_EQ(pair->value, row.value);
    } else {
      EXPECT_FALSE(problem.empty()) << row.text;
    }
  }
}

TEST(CheckRefusalText, Table) {
  const struct {
    int status;
    std::string text;
    bool ok;
  } rows[] = {
      {201, "Buy a license at example.com", true},
      {203, "Expired on {date}: renew at example.com", true},
      {204, "Paused: write to support@example.com", true},
      {204, "Paused since {date}", false},          // only 203 has a date
      {205, "", false},
      {205, "a=b", false},
      {205, "a&b", false},
      {205, std::string(255, 't'), true},
      {205, std::string(256, 't'), false},          // the module keeps 255 bytes
      {203, std::string(245, 't') + "{date}", true},   // 255 bytes once the date is in
      {203, std::string(246, 't') + "{date}", false},  // 256 as sent
      {100, "Granted", false},
      {200, "x", false},
      {206, "x", false},
      {400, "x", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(!pbs::CheckRefusalText(row.status, row.text).has_value(), row.ok) << row.status << " " << row.text;
  }
}

TEST(Names, ProductSetLicenseAccountBasePath) {
  const struct {
    const char* what;
    pbs::Problem (*check)(std::string_view);
    std::string text;
    bool ok;
  } rows[] = {
      {"product", pbs::CheckProductName, "parambridge", true},
      {"product", pbs::CheckProductName, "my-ea_2.0", true},
      {"product", pbs::CheckProductName, "", false},
      {"product", pbs::CheckProductName, "a b", false},
      {"product", pbs::CheckProductName, "a/b", false},
      {"product", pbs::CheckProductName, std::string(65, 'p'), false},
      {"set", pbs::CheckSetName, "gold:2024/v1+x", true},
      {"set", pbs::CheckSetName, "a b", false},
      {"set", pbs::CheckSetName, "", false},
      {"license", pbs::CheckLicenseId, "ORDER 1234 #5", true},
      {"license", pbs::CheckLicenseId, "12345/0", true},
      {"license", pbs::CheckLicenseId, "a,b", false},
      {"license", pbs::CheckLicenseId, "a\tb", false},
      {"license", pbs::CheckLicenseId, "", false},
      {"license", pbs::CheckLicenseId, std::string(129, 'l'), false},
      {"account", pbs::CheckAccount, "x y&z=1", true},
      {"account", pbs::CheckAccount, "\xC3\xA9", true},
      {"account", pbs::CheckAccount, "", false},
      {"account", pbs::CheckAccount, "a,b", false},
      {"account", pbs::CheckAccount, std::string("a\0b", 3), false},
      {"account", pbs::CheckAccount, std::string(256, '1'), true},
      {"account", pbs::CheckAccount, std::string(257, '1'), false},
      {"base path", pbs::CheckBasePath, "/", true},
      {"base path", pbs::CheckBasePath, "/parambridge/", true},
      {"base path", pbs::CheckBasePath, "/a/b-c_d.e~f/", true},
      {"base path", pbs::CheckBasePath, "/pb", false},
      {"base path", pbs::CheckBasePath, "pb/", false},
      {"base path", pbs::CheckBasePath, "//", false},
      {"base path", pbs::CheckBasePath, "/a//b/", false},
      {"base path", pbs::CheckBasePath, "/a b/", false},
      {"base path", pbs::CheckBasePath, "/a?b/", false},
      {"base path", pbs::CheckBasePath, "/%41/", false},
      {"base path", pbs::CheckBasePath, "", false},
  };
  for (const auto& row : rows) {
    const pbs::Problem problem = row.check(row.text);
    EXPECT_EQ(!problem.has_value(), row.ok) << row.what << " \"" << row.text << "\" " << problem.value_or("");
  }
}

TEST(Types, ParseFormatOverlap) {
  const struct {
    const char* text;
    std::optional<std::vector<int32_t>> types;
    const char* formatted;
  } rows[] = {
      {"all", std::vector<int32_t>{}, "all"},
      {"0", std::vector<int32_t>{0}, "0"},
      {"2,0,1,0", std::vector<int32_t>{0, 1, 2}, "0,1,2"},
      {"-1,2147483647", std::vector<int32_t>{-1, INT32_MAX}, "-1,2147483647"},
      {"", std::nullopt, ""},
      {"0,", std::nullopt, ""},
      {",0", std::nullopt, ""},
      {"0,,1", std::nullopt, ""},
      {"ALL", std::nullopt, ""},
      {"all,1", std::nullopt, ""},
      {"1 ,2", std::nullopt, ""},
      {"2147483648", std::nullopt, ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(pbs::ParseTypes(row.text), row.types) << row.text;
    if (row.types) {
      EXPECT_EQ(pbs::FormatTypes(*row.types), row.formatted);
    }
  }
  using V = std::vector<int32_t>;
  const struct {
    V a, b;
    bool overlap;
  } overlaps[] = {
      {{}, {}, true}, {{}, {3}, true}, {{3}, {}, true}, {{0, 1}, {1, 2}, true}, {{0}, {1}, false}, {{0, 2}, {1, 3}, false},
  };
  for (const auto& row : overlaps) EXPECT_EQ(pbs::TypesOverlap(row.a, row.b), row.overlap);
}

TEST(ParseAccountList, Table) {
  const struct {
    const char* text;
    std::optional<std::vector<std::string>> accounts;
  } rows[] = {
      {"12345", std::vector<std::string>{"12345"}},
      {"1,2,3", std::vector<std::string>{"1", "2", "3"}},
      {"1,2,1", std::vector<std::string>{"1", "2"}},   // a repeat counts once
      {"x y&z=1,2", std::vector<std::string>{"x y&z=1", "2"}},
      {"", std::nullopt},
      {"1,", std::nullopt},
      {",1", std::nullopt},
      {"1,,2", std::nullopt},
  };
  for (const auto& row : rows) {
    std::string problem;
    EXPECT_EQ(pbs::ParseAccountList(row.text, &problem), row.accounts) << row.text;
  }
}

}  // namespace
