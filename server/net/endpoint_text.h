// Listening addresses as text, both ways: "ADDR:PORT" with IPv6 in brackets
// ("[::1]:9181"). Pure.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>

namespace pbs {

// "127.0.0.1:9181", "[::1]:9181" -> the endpoint; a port of 0 is accepted
// (the system picks one). Empty when the text is not one.
std::optional<boost::asio::ip::tcp::endpoint> ParseEndpoint(std::string_view text);

// The reverse: "127.0.0.1:9181", "[::1]:9181".
std::string EndpointText(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace pbs
