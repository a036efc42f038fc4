#include <gtest/gtest.h>

#include "params/form.h"

namespace {

TEST(EncodeForm, NameOrderAndNoEscaping) {
  struct Row {
    pb::FieldMap fields;
    const char* body;
  };
  const Row rows[] = {
      {{}, ""},
      {{{"b", "2"}, {"a", "1"}}, "a=1&b=2"},
      {{{"accountType", "0"}, {"account", "12345"}}, "account=12345&accountType=0"},
      {{{"account", ""}, {"accountType", "-1"}}, "account=&accountType=-1"},
      {{{"v", "x y&z=1%+\xe9"}}, "v=x y&z=1%+\xe9"},
  };
  for (const Row& row : rows) EXPECT_EQ(pb::EncodeForm(row.fields), row.body);
}

TEST(SplitUrl, SchemeHostAndPath) {
  struct Row {
    const char* url;
    bool ok;
    bool secure;
    const char* host;
    const char* path;
  };
  const Row rows[] = {
      {"http://h/x/run/", true, false, "h", "x/run/"},
      {"https://h/x", true, true, "h", "x"},
      {"http://h", true, false, "h", ""},
      {"http://h/", true, false, "h", ""},
      {"http://h:81/x", true, false, "h:81", "x"},
      {"http://h/p?q=1/2", true, false, "h", "p?q=1/2"},
      {"http:/xh/p", true, false, "h", "p"},  // the character after the slash is not examined
      {"ftp://h/x", false, false, "", ""},
      {"HTTP://h/x", false, false, "", ""},
      {"Https://h/x", false, false, "", ""},
      {"http:", false, false, "", ""},
      {"http:/", false, false, "", ""},
      {"", false, false, "", ""},
      {"h/x", false, false, "", ""},
  };
  for (const Row& row : rows) {
    pb::UrlParts parts;
    ASSERT_EQ(pb::SplitUrl(row.url, parts), row.ok) << row.url;
    if (!row.ok) continue;
    EXPECT_EQ(parts.secure, row.secure) << row.url;
    EXPECT_EQ(parts.host, row.host) << row.url;
    EXPECT_EQ(parts.path, row.path) << row.url;
  }
}

}  // namespace
