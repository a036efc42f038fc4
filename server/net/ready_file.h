// The --ready-file: written once every listener is bound, so that a script
// or a test waits for the file instead of polling ports. Written whole or not
// at all (a temporary file beside it, then renamed). Lines of key=value:
//
//   pid=1234
//   http=127.0.0.1:80            (each listener that is on)
//   https=127.0.0.1:443
//   metrics=127.0.0.1:9181
//   admin=127.0.0.1:9180
//   pin=sha256//...              (with https: the key's pin)
//
// RunServe removes it when it returns.
#pragma once

#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>

namespace pbs {

struct ReadyInfo {
  long pid = 0;
  std::optional<boost::asio::ip::tcp::endpoint> http, https, metrics, admin;
  std::string pin;
};

std::string FormatReady(const ReadyInfo& info);

// Writes `text` to `path` atomically. False and `error` set otherwise.
bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& error);

}  // namespace pbs
