// The server's replies read back by the module's own decoder (params/), and
// its numbers by the module's own number reader.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <string>

#include "params/parse_double.h"
#include "params/reply_codec.h"
#include "params/store.h"
#include "server/core/decision.h"
#include "server/core/reply.h"
#include "server/core/rules.h"

namespace {

std::map<std::string, std::string> g_read;

void Collect(const std::string& name, const std::string& value) { g_read[name] = value; }

// What the module stores from `body`.
std::map<std::string, std::string> ModuleReads(const std::string& body) {
  pb::ResetStoreForTesting();
  pb::DecodeReply(body);
  g_read.clear();
  pb::ForEachParameterForTesting(Collect);
  pb::ResetStoreForTesting();
  return g_read;
}

TEST(EncodeReply, TheModuleReadsEveryPairBack) {
  using M = std::map<std::string, std::string>;
  const struct {
    pbs::Pairs pairs;
    M read;
  } rows[] = {
      {{{"error", "100"}, {"func101", "1.5"}, {"func102", "0.00025"}, {"func103", "12345.678"}},
       M{{"error", "100"}, {"func101", "1.5"}, {"func102", "0.00025"}, {"func103", "12345.678"}}},
      {pbs::RefusalPairs(201, "Unknown account"), M{{"error", "201"}, {"errorD", "Unknown account"}}},
      {pbs::RefusalPairs(203, "License expired on 2024-02-29"),
       M{{"error", "203"}, {"errorD", "License expired on 2024-02-29"}}},
      // Every byte a value may hold (all but '=', '&' and NUL), in every
      // position of the Base64 groups.
      {{{"error", "100"}, {"a", "\x01\x7f\x80\xff +/"}, {"bb", "x"}, {"ccc", "yy"}},
       M{{"error", "100"}, {"a", "\x01\x7f\x80\xff +/"}, {"bb", "x"}, {"ccc", "yy"}}},
      {{{"error", "100"}}, M{{"error", "100"}}},
  };
  for (const auto& row : rows) {
    const std::string body = pbs::EncodeReply(row.pairs);
    EXPECT_EQ(body.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos)
        << body;
    EXPECT_EQ(ModuleReads(body), row.read) << body;
  }
}

TEST(EncodeReply, TheProtocolPagesExamples) {
  EXPECT_EQ(pbs::EncodeReply({{"error", "100"}, {"func101", "1.5"}, {"func102", "0.00025"}, {"func103", "12345.678"}}),
            "ZXJyb3I9MTAwJmZ1bmMxMDE9MS41JmZ1bmMxMDI9MC4wMDAyNSZmdW5jMTAzPTEyMzQ1LjY3OA==");
  EXPECT_EQ(pbs::EncodeReply(pbs::RefusalPairs(201, "Unknown account")),
            "ZXJyb3I9MjAxJmVycm9yRD1Vbmtub3duIGFjY291bnQ=");
}

TEST(EncodeReply, EveryByteOfEveryLengthRoundTrips) {
  // Base64 of one value of each length 1..300 over all 253 allowed bytes.
  std::string allowed;
  for (int b = 1; b < 256; ++b) {
    if (b != '=' && b != '&') allowed += static_cast<char>(b);
  }
  for (std::size_t n = 1; n <= 300; ++n) {
    std::string value;
    for (std::size_t i = 0; i < n; ++i) value += allowed[(i * 7 + n) % allowed.size()];
    const auto read = ModuleReads(pbs::EncodeReply({{"error", "100"}, {"v", value}}));
    ASSERT_EQ(read.count("v"), 1u) << n;
    EXPECT_EQ(read.at("v"), value) << n;
  }
}

TEST(FormatNumber, ShortestTextTheModuleReadsExactly) {
  const struct {
    double value;
    const char* text;
  } rows[] = {
      {0.1, "0.1"}, {1.5, "1.5"}, {0.00025, "0.00025"}, {12345.678, "12345.678"}, {3.0, "3"}, {-3.0, "-3"},
      {0.0, "0"}, {-0.0, "-0"}, {1e21, "1e+21"}, {1e-7, "1e-07"}, {123456789012345680.0, "123456789012345680"}, {1.2345678901234569e+27, "1.2345678901234569e+27"},
      {0.1 + 0.2, "0.30000000000000004"}, {5e-324, "5e-324"}, {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
      {std::numeric_limits<double>::quiet_NaN(), ""}, {std::numeric_limits<double>::infinity(), ""},
  };
  for (const auto& row : rows) {
    const std::string text = pbs::FormatNumber(row.value);
    EXPECT_EQ(text, row.text);
    if (text.empty()) continue;
    const double back = pb::ParseDouble(text, std::nan(""));
    EXPECT_EQ(std::memcmp(&back, &row.value, sizeof back), 0) << text;   // -0 stays -0
    EXPECT_FALSE(pbs::CheckParameterValue("v", text).has_value()) << text;
  }
}

}  // namespace
