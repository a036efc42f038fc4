// A listening socket that hands each accepted connection to a session.
// Beyond the connection cap a connection is closed at once (nothing sent; the
// client sees a closed connection, the DLL's code 3) and counted in
// Metrics::connections_refused. An accept that fails (out of file
// descriptors, say) is retried after a short pause instead of spinning.
#pragma once

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "server/net/serve_state.h"
#include "server/net/session.h"

namespace pbs {

class Listener : public std::enable_shared_from_this<Listener> {
 public:
  // Binds `endpoint` (port 0: the system picks one). Null and `error` set
  // ("cannot listen on ADDR:PORT: reason") when it cannot.
  static std::shared_ptr<Listener> Open(ServeState& state, boost::asio::io_context& io,
                                        const boost::asio::ip::tcp::endpoint& endpoint, Site site,
                                        bool tls, std::string& error);

  Listener(ServeState& state, boost::asio::io_context& io, Site site, bool tls);

  boost::asio::ip::tcp::endpoint local_endpoint() const { return bound_; }
  void Start();  // accepts until Close
  void Close();  // thread-safe

 private:
  void Accept();
  void OnAccept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);
  // `peer_slot`: the client address's key, or empty when it has no cap.
  bool Reserve(const std::string& peer_slot);

  ServeState& state_;
  boost::asio::io_context& io_;
  const Site site_;
  const bool tls_;
  boost::asio::strand<boost::asio::io_context::executor_type> strand_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer pause_;
  boost::asio::ip::tcp::endpoint bound_;
};

}  // namespace pbs
