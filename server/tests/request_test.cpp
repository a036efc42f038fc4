// The fetch body as the module sends it: account from the first "account="
// to the last "&accountType=", the type a signed 32-bit decimal.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "server/core/request.h"

namespace {

struct BodyRow {
  std::string body;
  bool ok;
  std::string account;
  int32_t type;
};

TEST(ParseFetchBody, Table) {
  const BodyRow rows[] = {
      {"account=12345&accountType=0", true, "12345", 0},
      {"account=12345&accountType=-1", true, "12345", -1},
      {"account=12345&accountType=+7", true, "12345", 7},
      {"account=12345&accountType=0042", true, "12345", 42},
      {"account=&accountType=0", true, "", 0},                       // a null pointer's empty text
      {"account=x y&z=1&accountType=0", true, "x y&z=1", 0},         // nothing is escaped
      {"account=a&accountType=5&accountType=1", true, "a&accountType=5", 1},
      {"account=account=&accountType=2", true, "account=", 2},
      {"account=\xC3\xA9\x01&accountType=3", true, "\xC3\xA9\x01", 3},  // bytes pass unchanged
      {std::string("account=a\0b&accountType=3", 25), true, std::string("a\0b", 3), 3},
      {"account=1&accountType=2147483647", true, "1", 2147483647},
      {"account=1&accountType=-2147483648", true, "1", INT32_MIN},
      {"account=1&accountType=2147483648", false, "", 0},            // beyond 32 bits
      {"account=1&accountType=-2147483649", false, "", 0},
      {"account=1&accountType=99999999999999999999", false, "", 0},
      {"account=1&accountType=", false, "", 0},                      // no digits
      {"account=1&accountType=-", false, "", 0},
      {"account=1&accountType=1.0", false, "", 0},
      {"account=1&accountType= 1", false, "", 0},
      {"account=1&accountType=1 ", false, "", 0},
      {"account=1&accountType=0x10", false, "", 0},
      {"account=1&accountType=1&x=2", false, "", 0},                 // trailing field
      {"account=1", false, "", 0},                                   // type missing
      {"accountType=0", false, "", 0},                               // account missing
      {"accountType=0&account=1", false, "", 0},                     // the module's order only
      {"x=1&account=1&accountType=0", false, "", 0},
      {" account=1&accountType=0", false, "", 0},
      {"Account=1&accountType=0", false, "", 0},
      {"account=1&AccountType=0", false, "", 0},
      {"account&accountType=0", false, "", 0},
      {"account=&accountType", false, "", 0},
      {"", false, "", 0},
  };
  for (const BodyRow& row : rows) {
    const std::optional<pbs::FetchRequest> r = pbs::ParseFetchBody(row.body);
    ASSERT_EQ(r.has_value(), row.ok) << row.body;
    if (!row.ok) continue;
    EXPECT_EQ(r->account, row.account) << row.body;
    EXPECT_EQ(r->account_type, row.type) << row.body;
  }
}

TEST(ParseInt32, Table) {
  const struct {
    const char* text;
    std::optional<int32_t> value;
  } rows[] = {
      {"0", 0}, {"-0", 0}, {"+0", 0}, {"7", 7}, {"-7", -7}, {"000000000000000000000012", 12},
      {"2147483647", INT32_MAX}, {"-2147483648", INT32_MIN}, {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt}, {"", std::nullopt}, {"+", std::nullopt}, {"--1", std::nullopt},
      {"+-1", std::nullopt}, {"1_000", std::nullopt}, {"1e3", std::nullopt}, {"\xd9\xa1", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(pbs::ParseInt32(row.text), row.value) << row.text;
}

}  // namespace
