#include "server/net/endpoint_text.h"

namespace pbs {

std::optional<boost::asio::ip::tcp::endpoint> ParseEndpoint(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (port.empty() || port.size() > 5) return std::nullopt;
  unsigned long number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return std::nullopt;
    number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (number > 65535) return std::nullopt;
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  if (bracketed) host = host.substr(1, host.size() - 2);
  // An IPv6 address must be bracketed, or its last group would read as the port.
  if (host.find(':') != std::string_view::npos && !bracketed) return std::nullopt;
  if (bracketed && host.find(':') == std::string_view::npos) return std::nullopt;
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(std::string(host), error);
  if (error) return std::nullopt;
  return boost::asio::ip::tcp::endpoint(address, static_cast<unsigned short>(number));
}

std::string EndpointText(const boost::asio::ip::tcp::endpoint& endpoint) {
  const std::string host = endpoint.address().to_string();
  const std::string port = std::to_string(endpoint.port());
  if (endpoint.address().is_v6()) return "[" + host + "]:" + port;
  return host + ":" + port;
}

}  // namespace pbs
