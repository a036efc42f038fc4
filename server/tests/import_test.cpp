// Import files: the stand-in's JSON parameter file and CSV of licenses.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "server/core/import.h"

namespace {

std::string Describe(const pbs::ImportPlan& plan) {
  std::string out;
  for (const auto& s : plan.sets) {
    out += "set " + s.name + ":";
    for (const auto& p : s.pairs) out += " " + p.name + "=" + p.value;
    out += "\n";
  }
  for (const auto& l : plan.licenses) {
    out += "license " + l.id + " set " + l.set + " types ";
    if (l.types.empty()) out += "all";
    for (std::size_t i = 0; i < l.types.size(); ++i) out += (i ? "," : "") + std::to_string(l.types[i]);
    out += " accounts";
    for (const auto& a : l.accounts) out += " " + a;
    out += "\n";
  }
  return out;
}

struct ImportRow {
  const char* what;
  std::string text;
  std::string plan;       // Describe() of the plan, when accepted
  const char* refusal;    // a piece of the message; nullptr: accepted
};

TEST(ParseImport, StandInJson) {
  const ImportRow rows[] = {
      {"one account, every type",
       R"({"accounts": {"12345": {"*": {"func101": 1.5, "func102": 0.00025, "func103": 12345.678}}}})",
       "set imported-2: func101=1.5 func102=0.00025 func103=12345.678\n"
       "license 12345 set imported-2 types all accounts 12345\n",
       nullptr},
      {"per-type sets: a license per account and type; equal sets shared",
       R"({"accounts": {"777": {"0": {"func101": 1}, "1": {"func101": 2}}, "888": {"*": {"func101": 1}}}})",
       "set imported-2: func101=1\nset imported-3: func101=2\n"
       "license 777/0 set imported-2 types 0 accounts 777\n"
       "license 777/1 set imported-3 types 1 accounts 777\n"
       "license 888 set imported-2 types all accounts 888\n",
       nullptr},
      {"numbers in shortest form, strings verbatim, file order kept",
       R"({"accounts": {"1": {"*": {"z": 0.1, "a": "1e2", "m": 3.0, "big": 12345678901234567890, "neg": -7}}}})",
       "set imported-2: z=0.1 a=1e2 m=3 big=12345678901234567890 neg=-7\n"
       "license 1 set imported-2 types all accounts 1\n",
       nullptr},
      {"a byte-order mark and white space before", "\xEF\xBB\xBF \n{\"accounts\": {}}", "", nullptr},
      {"the \"*\" account", R"({"accounts": {"*": {"*": {"func101": 9}}}})", "", "\"*\" account"},
      {"\"*\" beside listed types", R"({"accounts": {"1": {"*": {"a": 1}, "0": {"a": 2}}}})", "", "mixes"},
      {"a type that is not a decimal", R"({"accounts": {"1": {"x": {"a": 1}}}})", "", "neither"},
      {"a type beyond 32 bits", R"({"accounts": {"1": {"2147483648": {"a": 1}}}})", "", "neither"},
      {"a type written +1", R"({"accounts": {"1": {"+1": {"a": 1}}}})", "", "neither"},
      {"error set by the file", R"({"accounts": {"1": {"*": {"error": 100}}}})", "", "server's own"},
      {"an empty value", R"({"accounts": {"1": {"*": {"a": ""}}}})", "", "is empty"},
      {"'&' in a value", R"({"accounts": {"1": {"*": {"a": "1&b=2"}}}})", "", "cannot carry"},
      {"a boolean value", R"({"accounts": {"1": {"*": {"a": true}}}})", "", "numbers or strings"},
      {"a null value", R"({"accounts": {"1": {"*": {"a": null}}}})", "", "numbers or strings"},
      {"no accounts object", R"({"params": {}})", "", "\"accounts\""},
      {"accounts not an object", R"({"accounts": []})", "", "\"accounts\""},
      {"types not an object", R"({"accounts": {"1": 5}})", "", "object of account types"},
      {"parameters not an object", R"({"accounts": {"1": {"*": [1]}}})", "", "object of parameters"},
      {"an account with ','", R"({"accounts": {"1,2": {"*": {"a": 1}}}})", "", "without NUL or ','"},
      {"broken JSON", R"({"accounts": {"1": )", "", "not a JSON parameter file"},
  };
  for (const ImportRow& row : rows) {
    try {
      // imported-1 is taken: the sets take the next free names.
      const pbs::ImportPlan plan = pbs::ParseImport(row.text, {"imported-1"});
      EXPECT_EQ(row.refusal, nullptr) << row.what << ": accepted";
      EXPECT_EQ(Describe(plan), row.plan) << row.what;
    } catch (const pbs::Refused& e) {
      ASSERT_NE(row.refusal, nullptr) << row.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(row.refusal), std::string::npos) << row.what << ": " << e.what();
    }
  }
}

TEST(ParseImport, LicenseCsv) {
  const ImportRow rows[] = {
      {"the three required columns", "id,accounts,set\norder-1,12345,gold\n",
       "license order-1 set gold types all accounts 12345\n", nullptr},
      {"every column, any order, CRLF, quoted lists",
       "Set,ID,accounts,types,expires,max_accounts,state,note\r\n"
       "gold,order-2,\"1,2\",\"0,1\",2030-01-31,5,suspended,\"said \"\"hi\"\", paid\"\r\n",
       "license order-2 set gold types 0,1 accounts 1 2\n", nullptr},
      {"no accounts yet, blank lines skipped", "id,accounts,set\n\norder-3,,gold\n\n",
       "license order-3 set gold types all accounts\n", nullptr},
      {"a last line without newline", "id,accounts,set\norder-4,7,gold",
       "license order-4 set gold types all accounts 7\n", nullptr},
      {"an empty file", "", "", "empty"},
      {"a column missing", "id,set\norder-1,gold\n", "", "\"accounts\" is missing"},
      {"an unknown column", "id,accounts,set,colour\na,1,gold,red\n", "", "unknown column"},
      {"a column twice", "id,accounts,set,id\na,1,gold,b\n", "", "twice"},
      {"a record too short", "id,accounts,set\norder-1,12345\n", "", "2 fields"},
      {"a bad date", "id,accounts,set,expires\na,1,gold,2023-02-29\n", "", "YYYY-MM-DD"},
      {"bad types", "id,accounts,set,types\na,1,gold,x\n", "", "types"},
      {"a bad state", "id,accounts,set,state\na,1,gold,paused\n", "", "state"},
      {"more accounts than allowed", "id,accounts,set,max_accounts\na,\"1,2\",gold,1\n", "", "--max-accounts 1"},
      {"a license twice", "id,accounts,set\na,1,gold\na,2,gold\n", "", "listed twice"},
      {"a quote left open", "id,accounts,set\n\"a,1,gold\n", "", "left open"},
      {"text after a closing quote", "id,accounts,set\n\"a\"b,1,gold\n", "", "after a closing quote"},
      {"a bad set name", "id,accounts,set\na,1,gold bar\n", "", "set name"},
  };
  for (const ImportRow& row : rows) {
    try {
      const pbs::ImportPlan plan = pbs::ParseImport(row.text, {});
      EXPECT_EQ(row.refusal, nullptr) << row.what << ": accepted";
      EXPECT_EQ(Describe(plan), row.plan) << row.what;
    } catch (const pbs::Refused& e) {
      ASSERT_NE(row.refusal, nullptr) << row.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(row.refusal), std::string::npos) << row.what << ": " << e.what();
    }
  }
}

TEST(ParseImport, TheSampleParameterFile) {
  std::ifstream in(PBS_SOURCE_DIR "/server/params.json");
  ASSERT_TRUE(in) << "server/params.json";
  std::stringstream text;
  text << in.rdbuf();
  const pbs::ImportPlan plan = pbs::ParseImport(text.str(), {});
  EXPECT_EQ(Describe(plan),
            "set imported-1: func101=1.5 func102=0.00025 func103=12345.678 lotStep=0.01\n"
            "license 12345 set imported-1 types all accounts 12345\n");
}

}  // namespace
