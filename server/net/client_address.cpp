#include "server/net/client_address.h"


namespace pbs {
namespace {

namespace ip = boost::asio::ip;

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::optional<ip::address> Exact(std::string_view text) {
  boost::system::error_code error;
  const ip::address address = ip::make_address(std::string(text), error);
  if (error) return std::nullopt;
  // A zone ("fe80::1%eth0") names an interface of the host that wrote it.
  if (address.is_v6() && address.to_v6().scope_id() != 0) return std::nullopt;
  return Canonical(address);
}

bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// The address's bytes, IPv4 as 4 and IPv6 as 16.
std::vector<unsigned char> Bytes(const ip::address& address) {
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    return {b.begin(), b.end()};
  }
  const auto b = address.to_v6().to_bytes();
  return {b.begin(), b.end()};
}

bool SamePrefix(const ip::address& a, const ip::address& b, unsigned prefix) {
  if (a.is_v4() != b.is_v4()) return false;
  const std::vector<unsigned char> x = Bytes(a), y = Bytes(b);
  unsigned bits = prefix;
  for (std::size_t i = 0; i < x.size() && bits > 0; ++i) {
    const unsigned take = bits >= 8 ? 8 : bits;
    const unsigned mask = (0xFFu << (8 - take)) & 0xFFu;
    if ((x[i] & mask) != (y[i] & mask)) return false;
    bits -= take;
  }
  return true;
}

}  // namespace

ip::address Canonical(const ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return ip::make_address_v4(ip::v4_mapped, address.to_v6());
  }
  return address;
}

std::optional<ip::address> ParseHop(std::string_view text) {
  text = Trim(text);
  if (text.empty()) return std::nullopt;
  if (text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    const std::string_view rest = text.substr(close + 1);
    if (!rest.empty() && !(rest.front() == ':' && IsPort(rest.substr(1)))) return std::nullopt;
    const std::string_view inside = text.substr(1, close - 1);
    // Brackets hold IPv6 ("[::ffff:1.2.3.4]" included), never bare IPv4.
    if (inside.find(':') == std::string_view::npos) return std::nullopt;
    return Exact(inside);
  }
  if (std::optional<ip::address> whole = Exact(text)) return whole;
  // "1.2.3.4:5678": one colon only, or it would be IPv6.
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos || text.find(':', colon + 1) != std::string_view::npos) {
    return std::nullopt;
  }
  if (!IsPort(text.substr(colon + 1))) return std::nullopt;
  std::optional<ip::address> host = Exact(text.substr(0, colon));
  if (!host || !host->is_v4()) return std::nullopt;
  return host;
}

bool TrustedProxies::Add(std::string_view entry) {
  const std::size_t slash = entry.find('/');
  std::optional<ip::address> base = Exact(entry.substr(0, slash));
  if (!base) return false;
  const unsigned width = base->is_v4() ? 32 : 128;
  unsigned prefix = width;
  if (slash != std::string_view::npos) {
    const std::string_view digits = entry.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return false;
    prefix = 0;
    for (char c : digits) {
      if (c < '0' || c > '9') return false;
      prefix = prefix * 10 + static_cast<unsigned>(c - '0');
    }
    if (prefix > width) return false;
  }
  networks_.push_back(Network{*base, prefix});
  return true;
}

bool TrustedProxies::Contains(const ip::address& address) const {
  const ip::address canonical = Canonical(address);
  for (const Network& network : networks_) {
    if (SamePrefix(network.base, canonical, network.prefix)) return true;
  }
  return false;
}

ip::address ClientAddress(const ip::address& peer, const TrustedProxies& trusted,
                          const std::vector<std::string_view>& forwarded_for,
                          std::optional<std::string_view> real_ip) {
  const ip::address direct = Canonical(peer);
  if (!trusted.Contains(direct)) return direct;
  if (forwarded_for.empty()) {
    if (!real_ip) return direct;
    return ParseHop(*real_ip).value_or(direct);
  }
  std::vector<std::string_view> hops;
  for (std::string_view field : forwarded_for) {
    for (;;) {
      const std::size_t comma = field.find(',');
      hops.push_back(field.substr(0, comma));
      if (comma == std::string_view::npos) break;
      field.remove_prefix(comma + 1);
    }
  }
  std::optional<ip::address> client;
  for (auto hop = hops.rbegin(); hop != hops.rend(); ++hop) {
    client = ParseHop(*hop);
    if (!client) return direct;
    if (!trusted.Contains(*client)) return *client;
  }
  return *client;
}

std::string RateLimitKey(const ip::address& address) {
  const ip::address canonical = Canonical(address);
  if (canonical.is_v4()) return canonical.to_string();
  ip::address_v6::bytes_type bytes = canonical.to_v6().to_bytes();
  for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
  return ip::make_address_v6(bytes).to_string() + "/64";
}

}  // namespace pbs
