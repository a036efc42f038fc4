#include "bench/server/terminal_fetch.h"

#include <array>

#include <boost/asio/connect.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <openssl/ssl.h>

namespace pbbench {
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

std::shared_ptr<asio::ssl::context> MakeTerminalContext() {
  auto ctx = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
  ctx->set_options(asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                   asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1);
  SSL_CTX_set_options(ctx->native_handle(), SSL_OP_NO_TICKET);
  SSL_CTX_set_session_cache_mode(ctx->native_handle(), SSL_SESS_CACHE_OFF);
  ctx->set_verify_mode(asio::ssl::verify_none);
  return ctx;
}

std::string FetchRequest(const std::string& host, const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: " + host +
         "\r\nUser-Agent: PostSample/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
         "Accept: */*\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

namespace {

class Fetch : public std::enable_shared_from_this<Fetch> {
 public:
  Fetch(asio::io_context& io, std::shared_ptr<asio::ssl::context> tls, const FetchTarget& target,
        FetchDone done)
      : tls_(std::move(tls)), stream_(io, *tls_), timer_(io), target_(target), done_(std::move(done)) {}

  void Start(uint32_t source) {
    start_ = Clock::now();
    boost::system::error_code ec;
    tcp::socket& socket = stream_.next_layer();
    socket.open(tcp::v4(), ec);
    // The kernel picks the port at connect, per destination: a source
    // address then holds far more than the ephemeral range's connections.
    if (!ec) {
      int on = 1;
      ::setsockopt(socket.native_handle(), IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
      socket.bind(tcp::endpoint(asio::ip::address_v4(source), 0), ec);
    }
    if (ec) return Finish(Outcome::kNoAnswer);
    timer_.expires_after(target_.deadline);
    timer_.async_wait([self = shared_from_this()](boost::system::error_code e) {
      if (!e && !self->finished_) {
        self->timed_out_ = true;
        boost::system::error_code ignored;
        self->stream_.next_layer().close(ignored);
      }
    });
    socket.async_connect(target_.server, [self = shared_from_this()](boost::system::error_code e) {
      if (e) return self->Finish(Outcome::kNoAnswer);
      boost::system::error_code ignored;
      self->stream_.next_layer().set_option(tcp::no_delay(true), ignored);
      self->stream_.async_handshake(asio::ssl::stream_base::client,
                                    [self](boost::system::error_code e) { self->OnHandshake(e); });
    });
  }

 private:
  void OnHandshake(boost::system::error_code e) {
    if (e) return Finish(Outcome::kNoAnswer);
    result_.resumed = SSL_session_reused(stream_.native_handle()) == 1;
    asio::async_write(stream_, asio::buffer(target_.request),
                      [self = shared_from_this()](boost::system::error_code e, std::size_t) {
                        if (e) return self->Finish(Outcome::kNoAnswer);
                        self->Read();
                      });
  }

  void Read() {
    stream_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](
                                                      boost::system::error_code e, std::size_t n) {
      self->reply_.append(self->chunk_.data(), n);
      bool at_end = static_cast<bool>(e);
      if (self->timed_out_ || (at_end && self->reply_.empty())) return self->Finish(Outcome::kNoAnswer);
      switch (Judge(self->reply_, at_end, self->target_.expected)) {
        case Verdict::kIncomplete: return self->Read();
        case Verdict::kServed: return self->Finish(Outcome::kServed);
        case Verdict::kUnavailable: return self->Finish(Outcome::kUnavailable);
        case Verdict::kWrong: return self->Finish(Outcome::kWrong);
      }
    });
  }

  void Finish(Outcome outcome) {
    if (finished_) return;
    finished_ = true;
    result_.outcome = outcome;
    result_.micros = static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start_).count());
    if (outcome == Outcome::kWrong) result_.reply = reply_.substr(0, 300);
    timer_.cancel();
    boost::system::error_code ignored;
    stream_.next_layer().close(ignored);
    done_(result_);
  }

  std::shared_ptr<asio::ssl::context> tls_;
  asio::ssl::stream<tcp::socket> stream_;
  asio::steady_timer timer_;
  const FetchTarget& target_;
  FetchDone done_;
  Clock::time_point start_;
  std::array<char, 4096> chunk_{};
  std::string reply_;
  FetchResult result_;
  bool finished_ = false;
  bool timed_out_ = false;
};

}  // namespace

void StartFetch(asio::io_context& io, std::shared_ptr<asio::ssl::context> tls, const FetchTarget& target,
                uint32_t source, FetchDone done) {
  std::make_shared<Fetch>(io, std::move(tls), target, std::move(done))->Start(source);
}

}  // namespace pbbench
