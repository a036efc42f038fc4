// Whose request is it: the TCP peer, or the client a trusted proxy names.
// Pure: addresses and header values in, an address out; no sockets.
//
// Only when the peer is a trusted proxy are its headers read:
//   X-Forwarded-For (every field, in order, comma-separated hops): walked from
//     the right, skipping hops that are themselves trusted proxies; the first
//     other hop is the client (a client can write the hops on the left, never
//     the one its proxy appends). All hops trusted: the leftmost.
//   X-Real-IP: used when there is no X-Forwarded-For.
// A hop that is not an address (a name, "unknown", garbage) ends the walk and
// the peer itself is taken, so a broken header never names anyone.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace pbs {

// An address as it is logged and rate limited: IPv4-mapped IPv6 is IPv4.
boost::asio::ip::address Canonical(const boost::asio::ip::address& address);

// Reads an address as proxies write it: "1.2.3.4", "1.2.3.4:5678", "::1",
// "[::1]", "[::1]:5678", with spaces around it. Empty when it is not one.
std::optional<boost::asio::ip::address> ParseHop(std::string_view text);

class TrustedProxies {
 public:
  // Adds "ADDR" or "ADDR/PREFIX". False (and nothing added) when it is neither.
  bool Add(std::string_view entry);
  bool Contains(const boost::asio::ip::address& address) const;
  bool empty() const { return networks_.empty(); }

 private:
  struct Network {
    boost::asio::ip::address base;
    unsigned prefix;
  };
  std::vector<Network> networks_;
};

// The client's address, canonical. `forwarded_for` holds each X-Forwarded-For
// field's value in the order received; `real_ip` the X-Real-IP value, if any.
boost::asio::ip::address ClientAddress(const boost::asio::ip::address& peer,
                                       const TrustedProxies& trusted,
                                       const std::vector<std::string_view>& forwarded_for,
                                       std::optional<std::string_view> real_ip);

// The rate limit's key for an address: IPv4 as is, IPv6 by its /64 (one
// customer's line holds a whole /64, so its addresses share a bucket).
std::string RateLimitKey(const boost::asio::ip::address& address);

}  // namespace pbs
