// Whose request it is (proxy headers only from trusted proxies), the rate
// limit's key, and listening addresses as text: tables.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "server/net/client_address.h"
#include "server/net/endpoint_text.h"

namespace pbs {
namespace {

namespace ip = boost::asio::ip;

struct HopCase {
  const char* text;
  const char* address;  // nullptr: not an address
};

const HopCase kHops[] = {
    {"203.0.113.7", "203.0.113.7"},
    {"  203.0.113.7\t", "203.0.113.7"},
    {"203.0.113.7:8080", "203.0.113.7"},
    {"2001:db8::1", "2001:db8::1"},
    {"[2001:db8::1]", "2001:db8::1"},
    {"[2001:db8::1]:443", "2001:db8::1"},
    {"::ffff:203.0.113.7", "203.0.113.7"},
    {"[::ffff:203.0.113.7]:1", "203.0.113.7"},
    {"", nullptr},
    {"unknown", nullptr},
    {"example.com", nullptr},
    {"203.0.113.7:", nullptr},
    {"203.0.113.7:123456", nullptr},
    {"203.0.113.7:80x", nullptr},
    {"[203.0.113.7]", nullptr},
    {"[2001:db8::1", nullptr},
    {"[2001:db8::1]x", nullptr},
    {"2001:db8::1:80:", nullptr},
    {"fe80::1%eth0", nullptr},
    {"203.0.113.7 203.0.113.8", nullptr},
    {"203.0.113.256", nullptr},
};

TEST(ClientAddress, ParseHopTable) {
  for (const HopCase& c : kHops) {
    const std::optional<ip::address> got = ParseHop(c.text);
    if (c.address == nullptr) {
      EXPECT_FALSE(got) << '"' << c.text << "\" read as " << got->to_string();
    } else {
      ASSERT_TRUE(got) << '"' << c.text << '"';
      EXPECT_EQ(got->to_string(), c.address) << '"' << c.text << '"';
    }
  }
}

struct TrustCase {
  const char* entry;
  bool accepted;
  std::vector<const char*> inside;
  std::vector<const char*> outside;
};

const TrustCase kTrust[] = {
    {"127.0.0.1", true, {"127.0.0.1", "::ffff:127.0.0.1"}, {"127.0.0.2", "::1"}},
    {"10.0.0.0/8", true, {"10.0.0.0", "10.255.255.255"}, {"11.0.0.0", "9.255.255.255"}},
    {"192.168.1.128/25", true, {"192.168.1.128", "192.168.1.255"}, {"192.168.1.127"}},
    {"0.0.0.0/0", true, {"1.2.3.4", "255.255.255.255"}, {"::1"}},
    {"2001:db8::/32", true, {"2001:db8::1", "2001:db8:ffff::"}, {"2001:db9::", "10.0.0.1"}},
    {"::1", true, {"::1"}, {"127.0.0.1"}},
    {"10.0.0.0/33", false, {}, {}},
    {"10.0.0.0/", false, {}, {}},
    {"10.0.0.0/x", false, {}, {}},
    {"10.0.0.0/-1", false, {}, {}},
    {"2001:db8::/129", false, {}, {}},
    {"proxy.example", false, {}, {}},
    {"", false, {}, {}},
};

TEST(ClientAddress, TrustedProxiesTable) {
  for (const TrustCase& c : kTrust) {
    TrustedProxies trusted;
    EXPECT_EQ(trusted.Add(c.entry), c.accepted) << c.entry;
    EXPECT_EQ(trusted.empty(), !c.accepted) << c.entry;
    for (const char* a : c.inside) {
      EXPECT_TRUE(trusted.Contains(ip::make_address(a))) << c.entry << " should hold " << a;
    }
    for (const char* a : c.outside) {
      EXPECT_FALSE(trusted.Contains(ip::make_address(a))) << c.entry << " should not hold " << a;
    }
  }
}

struct ClientCase {
  const char* name;
  const char* peer;
  std::vector<const char*> forwarded_for;  // one entry per header field
  const char* real_ip;                     // nullptr: no X-Real-IP
  const char* client;
};

// Trusted in every row: 127.0.0.1 and 10.0.0.0/8.
const ClientCase kClients[] = {
    {"no proxy headers", "127.0.0.1", {}, nullptr, "127.0.0.1"},
    {"an untrusted peer's headers are ignored", "198.51.100.9", {"203.0.113.7"}, "203.0.113.8",
     "198.51.100.9"},
    {"the last hop is what the proxy appended", "127.0.0.1", {"1.1.1.1, 203.0.113.7"}, nullptr,
     "203.0.113.7"},
    {"hops left of it are the client's to write", "127.0.0.1", {"203.0.113.7, 1.1.1.1"}, nullptr,
     "1.1.1.1"},
    {"trusted hops are skipped from the right", "127.0.0.1", {"203.0.113.7, 10.1.2.3"}, nullptr,
     "203.0.113.7"},
    {"all hops trusted: the leftmost", "127.0.0.1", {"10.0.0.5, 10.1.2.3"}, nullptr, "10.0.0.5"},
    {"several fields are one list in order", "127.0.0.1", {"1.1.1.1", "203.0.113.7"}, nullptr,
     "203.0.113.7"},
    {"X-Forwarded-For wins over X-Real-IP", "127.0.0.1", {"203.0.113.7"}, "203.0.113.8",
     "203.0.113.7"},
    {"X-Real-IP alone", "127.0.0.1", {}, "203.0.113.8", "203.0.113.8"},
    {"X-Real-IP with a port", "127.0.0.1", {}, "203.0.113.8:5555", "203.0.113.8"},
    {"a garbage X-Real-IP names nobody", "127.0.0.1", {}, "evil", "127.0.0.1"},
    {"a garbage last hop names nobody", "127.0.0.1", {"203.0.113.7, unknown"}, nullptr,
     "127.0.0.1"},
    {"garbage behind a trusted hop names nobody", "127.0.0.1", {"junk, 10.0.0.1"}, nullptr,
     "127.0.0.1"},
    {"an empty field names nobody", "127.0.0.1", {""}, nullptr, "127.0.0.1"},
    {"a trailing comma names nobody", "127.0.0.1", {"203.0.113.7,"}, nullptr, "127.0.0.1"},
    {"IPv6 hops", "10.9.9.9", {"2001:db8::7"}, nullptr, "2001:db8::7"},
    {"an IPv4-mapped peer is its IPv4", "::ffff:127.0.0.1", {"203.0.113.7"}, nullptr,
     "203.0.113.7"},
    {"an untrusted IPv4-mapped peer comes out as IPv4", "::ffff:198.51.100.9", {}, nullptr,
     "198.51.100.9"},
};

TEST(ClientAddress, ClientTable) {
  TrustedProxies trusted;
  ASSERT_TRUE(trusted.Add("127.0.0.1"));
  ASSERT_TRUE(trusted.Add("10.0.0.0/8"));
  for (const ClientCase& c : kClients) {
    std::vector<std::string_view> fields(c.forwarded_for.begin(), c.forwarded_for.end());
    std::optional<std::string_view> real;
    if (c.real_ip) real = c.real_ip;
    EXPECT_EQ(ClientAddress(ip::make_address(c.peer), trusted, fields, real).to_string(), c.client)
        << c.name;
  }
}

TEST(ClientAddress, NoTrustedProxyReadsNoHeader) {
  const TrustedProxies none;
  EXPECT_EQ(ClientAddress(ip::make_address("127.0.0.1"), none, {"203.0.113.7"}, "203.0.113.8")
                .to_string(),
            "127.0.0.1");
}

struct KeyCase {
  const char* address;
  const char* key;
};

const KeyCase kKeys[] = {
    {"203.0.113.7", "203.0.113.7"},
    {"::ffff:203.0.113.7", "203.0.113.7"},
    {"2001:db8:1:2:3:4:5:6", "2001:db8:1:2::/64"},
    {"2001:db8:1:2:ffff::1", "2001:db8:1:2::/64"},
    {"2001:db8:1:3::1", "2001:db8:1:3::/64"},
    {"::1", "::/64"},
};

TEST(ClientAddress, RateLimitKeyTable) {
  for (const KeyCase& c : kKeys) {
    EXPECT_EQ(RateLimitKey(ip::make_address(c.address)), c.key) << c.address;
  }
}

struct EndpointCase {
  const char* text;
  const char* back;  // nullptr: refused
};

const EndpointCase kEndpoints[] = {
    {"127.0.0.1:9181", "127.0.0.1:9181"},
    {"0.0.0.0:0", "0.0.0.0:0"},
    {"[::1]:9181", "[::1]:9181"},
    {"[::]:65535", "[::]:65535"},
    {"127.0.0.1:65536", nullptr},
    {"127.0.0.1:", nullptr},
    {"127.0.0.1", nullptr},
    {":9181", nullptr},
    {"::1:9181", nullptr},
    {"[127.0.0.1]:9181", nullptr},
    {"localhost:9181", nullptr},
    {"127.0.0.1:+80", nullptr},
    {"127.0.0.1:123456", nullptr},
    {"", nullptr},
};

TEST(EndpointText, Table) {
  for (const EndpointCase& c : kEndpoints) {
    const auto got = ParseEndpoint(c.text);
    if (c.back == nullptr) {
      EXPECT_FALSE(got) << c.text;
    } else {
      ASSERT_TRUE(got) << c.text;
      EXPECT_EQ(EndpointText(*got), c.back) << c.text;
    }
  }
}

}  // namespace
}  // namespace pbs
