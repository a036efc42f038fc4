#include <gtest/gtest.h>

#include <map>
#include <string>

#include "params/reply_codec.h"
#include "params/store.h"

namespace {

struct DecodeRow {
  std::string encoded;
  std::string decoded;
};

TEST(Base64Decode, StopsAndPartialGroups) {
  const DecodeRow rows[] = {
      {"YT0xJmI9Mg==", "a=1&b=2"},
      {"YT0xJmI9Mg", "a=1&b=2"},            // pad optional
      {"YT0xJmI9Mg=", "a=1&b=2"},
      {"YT0xJmI9Mg==YT0z", "a=1&b=2"},      // a second block is not read
      {"YT0x JmI9Mg==", "a=1"},             // white space ends the data
      {"YT0x\nJmI9Mg==", "a=1"},
      {" YT0x", ""},
      {"\xEF\xBB\xBFYT0x", ""},             // byte-order mark
      {"YT0x-_", "a=1"},                    // URL-safe characters end it too
      {"YT0xY", "a=1"},                     // one character: nothing
      {"YT0xYg", "a=1b"},                   // two: one byte
      {"YT0xYmM", "a=1bc"},                 // three: two bytes
      {"YR", "a"},                          // spare low bits ignored ('Q' would be exact)
      {"YT0xYmN", "a=1bc"},
      {"", ""},
      {"====", ""},
      {"AAA=", std::string("\0\0", 2)},
      {"/+/+", "\xff\xef\xfe"},
      {"YT0x\xC3\xA9", "a=1"},              // bytes above 0x7F are not letters
  };
  for (const DecodeRow& row : rows) {
    EXPECT_EQ(pb::Base64Decode(row.encoded), row.decoded) << "input \"" << row.encoded << "\"";
  }
}

TEST(Base64Decode, RoundTripsEveryByte) {
  std::string bytes;
  for (int i = 0; i < 256; ++i) bytes += static_cast<char>(i);
  // Encoded here by hand so the test does not lean on the code under test.
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string encoded;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const unsigned b0 = static_cast<unsigned char>(bytes[i]);
    const unsigned b1 = i + 1 < bytes.size() ? static_cast<unsigned char>(bytes[i + 1]) : 0;
    const unsigned b2 = i + 2 < bytes.size() ? static_cast<unsigned char>(bytes[i + 2]) : 0;
    const unsigned v = (b0 << 16) | (b1 << 8) | b2;
    encoded += kAlphabet[v >> 18];
    encoded += kAlphabet[(v >> 12) & 63];
    encoded += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    encoded += i + 2 < bytes.size() ? kAlphabet[v & 63] : '=';
  }
  EXPECT_EQ(pb::Base64Decode(encoded), bytes);
}

struct SplitRow {
  std::string decoded;
  std::map<std::string, std::string> stored;
};

class SplitPairs : public ::testing::Test {
 protected:
  void SetUp() override { pb::ResetStoreForTesting(); }
};

TEST_F(SplitPairs, PairsGoByPosition) {
  using M = std::map<std::string, std::string>;
  const SplitRow rows[] = {
      {"a=1&b=2", M{{"a", "1"}, {"b", "2"}}},
      {"a==1&&b=2", M{{"a", "1"}, {"b", "2"}}},
      {"&a=1&b=2&", M{{"a", "1"}, {"b", "2"}}},
      {"a&1=b&2", M{{"a", "1"}, {"b", "2"}}},
      {"a=1&b", M{{"a", "1"}}},
      {"a=&b=1", M{{"a", "b"}}},
      {"a=1=2", M{{"a", "1"}}},
      {"a=1&a=2", M{{"a", "2"}}},
      {std::string("a=1&b=2\0&c=3", 12), M{{"a", "1"}, {"b", "2"}}},
      {std::string("a=1&b=xy\0z&c=3", 14), M{{"a", "1"}, {"b", "xy"}}},
      {"Error=1&error=2", M{{"Error", "1"}, {"error", "2"}}},
      {"lonely", M{}},
      {"", M{}},
      {"=&=&", M{}},
      {"k=v w\xff", M{{"k", "v w\xff"}}},
  };
  const char* const probes[] = {"a", "b", "c", "Error", "error", "k", "lonely", "1", "2"};
  for (const SplitRow& row : rows) {
    pb::ResetStoreForTesting();
    pb::SplitPairs(row.decoded, "=&");
    for (const char* name : probes) {
      auto it = row.stored.find(name);
      EXPECT_EQ(pb::GetParameterText(name), it == row.stored.end() ? "" : it->second)
          << "decoded \"" << row.decoded << "\", name " << name;
    }
  }
}

TEST_F(SplitPairs, DecodeReplyAddsToTheStore) {
  pb::SetParameter("test", "2");
  pb::SetParameter("keep", "old");
  pb::DecodeReply("ZXJyb3I9MTAwJmZ1bmMxMDE9MS41");  // error=100&func101=1.5
  EXPECT_EQ(pb::GetParameter("error", -1.0), 100.0);
  EXPECT_EQ(pb::GetParameter("func101", -1.0), 1.5);
  EXPECT_EQ(pb::GetParameterText("test"), "2");
  EXPECT_EQ(pb::GetParameterText("keep"), "old");
}

}  // namespace
