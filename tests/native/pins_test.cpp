#include "params/pins.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr char kCounting[] = "sha256//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=";  // 0, 1, ... 31
constexpr char kAllOnes[] = "sha256//" "//////////////////////////////////////////" "8=";  // 32 x 0xFF

TEST(Pins, ParseTable) {
  const std::string counting = kCounting, ones = kAllOnes;
  const struct {
    std::string text;
    bool ok;
    std::size_t count;
  } rows[] = {
      {"", true, 0},
      {counting, true, 1},
      {counting + ";" + ones, true, 2},
      {counting + ";", false, 0},                             // an empty entry
      {";" + counting, false, 0},
      {"sha256//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8", false, 0},  // no padding
      {"sha256//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh9=", false, 0},  // spare bits set
      {"sha256//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8==", false, 0},
      {"sha256//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh=", false, 0},  // 31 bytes
      {"SHA256//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", false, 0},
      {"sha1//AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8=", false, 0},
      {"sha256//AAECAwQFBgcICQoLDA0ODxAREhMUF-YXGBkaGxwdHh8=", false, 0},  // URL alphabet
      {"sha256//AAECAwQFBgcICQoLDA0ODxAREhMUF YXGBkaGxwdHh8=", false, 0},
      {counting + " ", false, 0},
  };
  for (const auto& row : rows) {
    pb::PinSet pins;
    pins.digests.resize(3);  // a failure leaves none, whatever was there
    EXPECT_EQ(pb::ParsePins(row.text, pins), row.ok) << row.text;
    EXPECT_EQ(pins.digests.size(), row.count) << row.text;
  }
}

TEST(Pins, DigestsAreTheDecodedBytesAndMatchWhole) {
  pb::PinSet pins;
  ASSERT_TRUE(pb::ParsePins(std::string(kCounting) + ";" + kAllOnes, pins));
  pb::KeyDigest counting, ones;
  for (unsigned i = 0; i < 32; ++i) {
    counting[i] = static_cast<unsigned char>(i);
    ones[i] = 0xFF;
  }
  EXPECT_EQ(pins.digests[0], counting);
  EXPECT_EQ(pins.digests[1], ones);
  EXPECT_TRUE(pins.Matches(counting));
  EXPECT_TRUE(pins.Matches(ones));
  pb::KeyDigest almost = counting;
  almost[31] ^= 1;
  EXPECT_FALSE(pins.Matches(almost));
  EXPECT_FALSE(pb::PinSet{}.Matches(counting));
}

}  // namespace
