#include "server/net/listener.h"

#include <chrono>
#include <string>

#include <boost/asio/post.hpp>

#include "server/net/client_address.h"

namespace pbs {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

// The metrics listener is for one scraper and an operator's curl.
constexpr int64_t kMaxMetricsConnections = 16;
constexpr std::chrono::milliseconds kAcceptPause{100};

}  // namespace

std::shared_ptr<Listener> Listener::Open(ServeState& state, net::io_context& io,
                                         const tcp::endpoint& endpoint, Site site, bool tls,
                                         std::string& error) {
  auto listener = std::make_shared<Listener>(state, io, site, tls);
  tcp::acceptor& a = listener->acceptor_;
  boost::system::error_code ec;
  a.open(endpoint.protocol(), ec);
  if (!ec) a.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(endpoint, ec);
  if (!ec) a.listen(net::socket_base::max_listen_connections, ec);
  if (!ec) listener->bound_ = a.local_endpoint(ec);
  if (ec) {
    const std::string host = endpoint.address().to_string();
    error = "cannot listen on " + (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" +
            std::to_string(endpoint.port()) + ": " + ec.message();
    return nullptr;
  }
  return listener;
}

Listener::Listener(ServeState& state, net::io_context& io, Site site, bool tls)
    : state_(state),
      io_(io),
      site_(site),
      tls_(tls),
      strand_(net::make_strand(io)),
      acceptor_(strand_),
      pause_(strand_) {}

void Listener::Start() { Accept(); }

void Listener::Close() {
  net::post(strand_, [self = shared_from_this()] {
    boost::system::error_code ignored;
    self->acceptor_.close(ignored);
    self->pause_.cancel();
  });
}

void Listener::Accept() {
  acceptor_.async_accept(net::make_strand(io_),
                         [self = shared_from_this()](boost::system::error_code ec, tcp::socket s) {
                           self->OnAccept(ec, std::move(s));
                         });
}

bool Listener::Reserve(const std::string& peer_slot) {
  if (site_ == Site::kMetrics) {
    if (state_.metrics_connections.fetch_add(1) < kMaxMetricsConnections) return true;
    state_.metrics_connections.fetch_sub(1);
    return false;
  }
  if (site_ == Site::kAdmin) {
    const auto admin_cap = static_cast<int64_t>(state_.options.max_admin_connections);
    if (state_.admin_connections.fetch_add(1) < admin_cap) {
      if (peer_slot.empty() || state_.admin_peer_slots.Take(peer_slot)) return true;
    }
    state_.admin_connections.fetch_sub(1);
    return false;
  }
  const auto cap = static_cast<int64_t>(state_.options.max_connections);
  const int64_t open = state_.metrics.open_connections.fetch_add(1);
  if (open < cap) {
    if (peer_slot.empty() || state_.peer_slots.Take(peer_slot)) {
      state_.metrics.NoteOpen(open + 1);
      return true;
    }
  }
  state_.metrics.open_connections.fetch_sub(1);
  state_.metrics.connections_refused.fetch_add(1);
  return false;
}

void Listener::OnAccept(boost::system::error_code ec, tcp::socket socket) {
  if (!acceptor_.is_open()) return;
  if (ec) {
    // Out of descriptors or memory, for a moment: try again a little later.
    pause_.expires_after(kAcceptPause);
    pause_.async_wait([self = shared_from_this()](boost::system::error_code e) {
      if (!e) self->Accept();
    });
    return;
  }
  // One client address holds at most max_connections_per_address of the
  // fetch slots (a trusted proxy carries many clients: no cap for it).
  std::string peer_slot;
  if (site_ == Site::kAdmin) {
    boost::system::error_code peer_error;
    const tcp::endpoint peer = socket.remote_endpoint(peer_error);
    if (!peer_error) peer_slot = RateLimitKey(Canonical(peer.address()));
  } else if (site_ == Site::kFetch) {
    boost::system::error_code peer_error;
    const tcp::endpoint peer = socket.remote_endpoint(peer_error);
    if (!peer_error && !state_.trusted.Contains(Canonical(peer.address()))) {
      peer_slot = RateLimitKey(Canonical(peer.address()));
    }
  }
  if (Reserve(peer_slot)) {
    boost::system::error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    std::shared_ptr<net::ssl::context> context;
    if (tls_) context = (site_ == Site::kAdmin ? state_.CurrentAdminTls() : state_.CurrentTls()).context;
    StartSession(state_, std::move(socket), site_, std::move(context), std::move(peer_slot));
  } else {
    boost::system::error_code ignored;
    socket.close(ignored);
  }
  Accept();
}

}  // namespace pbs
