#include "server/net/session.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include "server/net/canned_replies.h"
#include "server/net/fetch_outcome.h"

namespace pbs {
namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using Steady = std::chrono::steady_clock;

// The first read of an idle connection: small, as a request is.
constexpr std::size_t kFirstRead = 512;
// A closing connection reads and discards what the client still sends, so
// that the close does not reset the reply away; at most this much, and for at
// most kLingerTime.
constexpr std::size_t kLingerBytes = 64 * 1024;
constexpr std::chrono::seconds kLingerTime{2};
constexpr std::size_t kDiscardChunk = 4096;

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

template <bool kTls>
class Session : public SessionBase, public std::enable_shared_from_this<Session<kTls>> {
  using Stream = std::conditional_t<kTls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

 public:
  Session(ServeState& state, tcp::socket socket, Site site,
          std::shared_ptr<net::ssl::context> tls, std::string peer_slot)
      : state_(state),
        site_(site),
        peer_slot_(std::move(peer_slot)),
        tls_(std::move(tls)),
        socket_(std::move(socket)),
        arrival_(socket_.get_executor()),
        buffer_(HeaderLimit() + BodyLimit() + kFirstRead) {}

  ~Session() override {
    state_.registry.Remove(this);
    LeaveLine();
    ReleaseHandshakeSlot();
    if (kTls && stream_) state_.metrics.tls_streams.fetch_sub(1);
    if (site_ == Site::kFetch) {
      if (!peer_slot_.empty()) state_.peer_slots.Give(peer_slot_);
      state_.metrics.open_connections.fetch_sub(1);
    } else if (site_ == Site::kAdmin) {
      if (!peer_slot_.empty()) state_.admin_peer_slots.Give(peer_slot_);
      state_.admin_connections.fetch_sub(1);
    } else {
      state_.metrics_connections.fetch_sub(1);
    }
  }

  void Begin() {
    state_.registry.Add(this->shared_from_this());
    boost::system::error_code ec;
    const tcp::endpoint peer = socket_.remote_endpoint(ec);
    if (ec) return CloseSocket();
    peer_ = Canonical(peer.address());
    client_ = peer_.to_string();
    // Until its first byte a connection holds its socket and a timer only:
    // no TLS state, no buffer. The handshake (or the first request's header)
    // is due by the same deadline as before.
    request_start_ = Steady::now();
    phase_ = Phase::kArriving;
    arrival_.expires_at(request_start_ + (kTls ? state_.options.handshake_timeout
                                               : state_.options.header_timeout));
    arrival_.async_wait([self = this->shared_from_this()](boost::system::error_code e) {
      if (!e) self->OnArrivalDeadline();
    });
    socket_.async_wait(tcp::socket::wait_read,
                       [self = this->shared_from_this()](boost::system::error_code e) {
                         self->OnArrival(e);
                       });
  }

  void Stop() override {
    net::post(arrival_.get_executor(), [self = this->shared_from_this()] {
      self->stop_requested_ = true;
      // A connection between requests has nothing in progress: close it now.
      if (!self->stream_) {
        self->arrival_.cancel();
        self->LeaveLine();
        self->phase_ = Phase::kClosing;
        self->CloseSocket();
      } else if (self->phase_ == Phase::kIdle || self->phase_ == Phase::kClosing) {
        self->Lowest().cancel();
      }
    });
  }

 private:
  enum class Phase { kArriving, kAwaitingSlot, kHandshake, kIdle, kRequest, kWaiting, kWriting, kClosing };

  beast::tcp_stream& Lowest() { return beast::get_lowest_layer(*stream_); }

  void OnArrivalDeadline() {
    if (phase_ == Phase::kArriving) {
      arrival_timed_out_ = true;
      boost::system::error_code ignored;
      socket_.cancel(ignored);
    } else if (phase_ == Phase::kAwaitingSlot) {
      // Its turn did not come within the handshake deadline.
      state_.metrics.connections_timed_out.fetch_add(1);
      LeaveLine();
      phase_ = Phase::kClosing;
      CloseSocket();
    }
  }

  // The first byte (or the peer's close) is here: the stream is made now,
  // for https once a handshake slot is free.
  void OnArrival(boost::system::error_code ec) {
    if (arrival_timed_out_) {
      state_.metrics.connections_timed_out.fetch_add(1);
      return CloseSocket();
    }
    if (ec || Stopping()) {
      arrival_.cancel();
      return CloseSocket();
    }
    if constexpr (kTls) {
      if (site_ == Site::kFetch) {
        std::weak_ptr<Session> weak = this->shared_from_this();
        const std::atomic<bool>* stopping = &state_.stopping;
        const bool now = state_.handshake_slots.TakeOrWait([weak, stopping] {
          if (stopping->load()) return false;  // the stop closes the waiting
          std::shared_ptr<Session> self = weak.lock();
          if (!self) return false;
          net::post(self->arrival_.get_executor(), [self] { self->OnSlot(); });
          return true;
        });
        if (!now) {
          // In line, still under the arrival deadline, holding no TLS state.
          phase_ = Phase::kAwaitingSlot;
          waiting_slot_ = true;
          state_.metrics.handshakes_waiting.fetch_add(1);
          return;
        }
        TookHandshakeSlot();
      }
      StartHandshake();
    } else {
      arrival_.cancel();
      stream_.emplace(std::move(socket_));
      ReadNext();
    }
  }

  // A slot handed on by a finished handshake: taken for this connection.
  void OnSlot() {
    TookHandshakeSlot();
    LeaveLine();
    if (phase_ != Phase::kAwaitingSlot || Stopping()) {
      ReleaseHandshakeSlot();
      return CloseSocket();
    }
    StartHandshake();
  }

  void StartHandshake() {
    arrival_.cancel();
    stream_.emplace(std::move(socket_), *tls_);
    state_.metrics.tls_streams.fetch_add(1);
    phase_ = Phase::kHandshake;
    Lowest().expires_at(request_start_ + state_.options.handshake_timeout);
    stream_->async_handshake(net::ssl::stream_base::server,
                             [self = this->shared_from_this()](boost::system::error_code e) {
                               self->OnHandshake(e);
                             });
  }

  void CloseSocket() {
    boost::system::error_code ignored;
    socket_.close(ignored);
  }

  void TookHandshakeSlot() {
    handshake_slot_ = true;
    state_.metrics.handshakes_in_progress.fetch_add(1);
  }

  void ReleaseHandshakeSlot() {
    if (!handshake_slot_) return;
    handshake_slot_ = false;
    state_.metrics.handshakes_in_progress.fetch_sub(1);
    state_.handshake_slots.Give();
  }

  void LeaveLine() {
    if (!waiting_slot_) return;
    waiting_slot_ = false;
    state_.metrics.handshakes_waiting.fetch_sub(1);
  }

  std::size_t HeaderLimit() const {
    return site_ == Site::kAdmin ? state_.options.admin_header_limit : state_.options.header_limit;
  }
  std::size_t BodyLimit() const {
    return site_ == Site::kAdmin ? state_.options.admin_body_limit : state_.options.body_limit;
  }

  bool Stopping() const { return stop_requested_ || state_.stopping.load(); }

  void OnHandshake(boost::system::error_code ec) {
    ReleaseHandshakeSlot();
    if (ec) {
      if (ec == beast::error::timeout) {
        state_.metrics.connections_timed_out.fetch_add(1);
      } else {
        state_.metrics.tls_handshake_failures.fetch_add(1);
      }
      return Lowest().close();
    }
    request_start_ = Steady::now();
    ReadNext();
  }

  // Waits for the next request: its first byte, then its header.
  void ReadNext() {
    if (Stopping()) return Close(false);
    parser_.emplace();
    head_ = false;  // a refusal of this request has a body, whatever the last one was
    parser_->header_limit(static_cast<std::uint32_t>(
        std::min<std::size_t>(HeaderLimit(), UINT32_MAX)));
    parser_->body_limit(static_cast<std::uint64_t>(BodyLimit()));
    if (buffer_.size() > 0) {  // pipelined: the next request is already here
      request_start_ = Steady::now();
      return ReadHeader();
    }
    phase_ = Phase::kIdle;
    // Between requests the buffer holds no more than the first read needs.
    buffer_.shrink_to_fit();
    // The first request's header is due header_timeout after the connection
    // began; a kept-alive connection's next request must start within
    // idle_timeout.
    Lowest().expires_at(served_ == 0 ? request_start_ + state_.options.header_timeout
                                     : Steady::now() + state_.options.idle_timeout);
    stream_->async_read_some(buffer_.prepare(kFirstRead),
                            [self = this->shared_from_this()](boost::system::error_code ec,
                                                              std::size_t n) {
                              self->OnFirstBytes(ec, n);
                            });
  }

  void OnFirstBytes(boost::system::error_code ec, std::size_t n) {
    buffer_.commit(n);
    if (ec) {
      if (ec == beast::error::timeout) state_.metrics.connections_timed_out.fetch_add(1);
      return Close(false);
    }
    if (served_ > 0) request_start_ = Steady::now();
    ReadHeader();
  }

  void ReadHeader() {
    phase_ = Phase::kRequest;
    const auto& o = state_.options;
    Lowest().expires_at(request_start_ + std::min(o.header_timeout, o.request_timeout));
    http::async_read_header(*stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](boost::system::error_code ec,
                                                              std::size_t) {
                              self->OnHeader(ec);
                            });
  }

  void OnHeader(boost::system::error_code ec) {
    received_ = Clock::now();
    received_steady_ = Steady::now();
    if (ec) return OnReadError(ec);
    version_ = parser_->get().version();
    const auto& o = state_.options;
    Lowest().expires_at(std::min(received_steady_ + o.body_timeout, request_start_ + o.request_timeout));
    http::async_read(*stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](boost::system::error_code e, std::size_t) {
                       self->OnBody(e);
                     });
  }

  void OnBody(boost::system::error_code ec) {
    if (ec) return OnReadError(ec);
    Dispatch();
  }

  void OnReadError(boost::system::error_code ec) {
    if (ec == beast::error::timeout) {
      state_.metrics.connections_timed_out.fetch_add(1);
      return Close(false);
    }
    if (ec == http::error::header_limit || ec == http::error::body_limit ||
        ec == http::error::buffer_overflow) {
      if (site_ == Site::kAdmin) {
        keep_alive_ = false;
        return SendAdminError(413, "too_large", "the request is larger than the admin listener takes");
      }
      return Refuse(RequestTooLargeBody());
    }
    if (ec == http::error::end_of_stream || ec == http::error::partial_message ||
        ec.category() != http::make_error_code(http::error::bad_method).category()) {
      return Close(false);  // the client went away, or the socket failed
    }
    Refuse(MalformedRequestBody());
  }

  // A request the session could not read whole: 400 and close. It counts
  // against the peer's rate limit like any request.
  void Refuse(const std::string& body) {
    keep_alive_ = false;
    if (site_ == Site::kMetrics) return SendReply(400, "", 400);
    if (site_ == Site::kAdmin) return SendAdminError(400, "bad_input", "the request is not readable HTTP");
    if (!state_.AllowRate(RateLimitKey(peer_))) return SendUnavailable(Unavailable::kRateLimit);
    SendReply(400, body, 400);
  }

  void Dispatch() {
    ++served_;
    const http::request<http::string_body>& request = parser_->get();
    head_ = request.method() == http::verb::head;
    keep_alive_ = request.keep_alive() && served_ < state_.options.max_requests_per_connection &&
                  !Stopping();
    if (site_ == Site::kMetrics) return ServeMetrics(request);
    if (site_ == Site::kAdmin) return DispatchAdmin(request);

    std::vector<std::string_view> forwarded_for;
    const auto range = request.equal_range("X-Forwarded-For");
    for (auto field = range.first; field != range.second; ++field) {
      forwarded_for.push_back(View(field->value()));
    }
    std::optional<std::string_view> real_ip;
    const auto real = request.find("X-Real-IP");
    if (real != request.end()) real_ip = View(real->value());
    const auto client = ClientAddress(peer_, state_.trusted, forwarded_for, real_ip);
    client_ = client.to_string();
    if (!state_.AllowRate(RateLimitKey(client))) return SendUnavailable(Unavailable::kRateLimit);

    FetchInput input;
    input.method = std::string(View(request.method_string()));
    input.target = std::string(View(request.target()));
    input.body = request.body();
    input.peer = client_;
    input.https = kTls;
    input.received = received_;
    phase_ = Phase::kWaiting;
    const auto executor = stream_->get_executor();
    const bool queued = state_.pool.TrySubmit(
        [self = this->shared_from_this(), executor, input = std::move(input),
         queued_at = Steady::now()](FetchService& service) mutable {
          FetchOutcome outcome =
              DecideFetch(service, input, Steady::now() - queued_at,
                          self->state_.options.queue_wait_limit, self->state_.metrics);
          net::post(executor, [self = std::move(self), outcome = std::move(outcome)]() mutable {
            self->OnOutcome(std::move(outcome));
          });
        });
    if (!queued) SendUnavailable(Stopping() ? Unavailable::kStopping : Unavailable::kQueueFull);
  }

  void OnOutcome(FetchOutcome outcome) {
    if (outcome.unavailable) return SendUnavailable(*outcome.unavailable);
    FetchAnswer& a = outcome.answer;
    SendReply(a.http_status, std::move(a.body), a.status, std::move(a.product),
              std::move(a.account), a.account_type);
  }

  // The whole request goes to the AdminService on a database thread: a
  // password's hash and every database call stay off the network threads.
  void DispatchAdmin(const http::request<http::string_body>& request) {
    AdminInput input;
    input.method = std::string(View(request.method_string()));
    input.target = std::string(View(request.target()));
    for (const auto& field : request) {
      std::string name(View(field.name_string()));
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      input.headers.emplace_back(std::move(name), std::string(View(field.value())));
    }
    input.body = request.body();
    input.peer = client_;
    input.https = kTls;
    input.received = received_;
    phase_ = Phase::kWaiting;
    const auto executor = stream_->get_executor();
    const bool queued = state_.pool.TrySubmit(
        [self = this->shared_from_this(), executor, input = std::move(input)](FetchService& service) mutable {
          std::optional<AdminAnswer> answer;
          if (AdminService* admin = service.Admin()) {
            try {
              answer = admin->Answer(input);
            } catch (...) {
              answer.reset();
            }
          }
          net::post(executor, [self = std::move(self), answer = std::move(answer)]() mutable {
            if (!answer) return self->SendAdminError(503, "unavailable", "the admin API cannot answer now");
            self->SendReply(answer->http_status, std::move(answer->body), answer->http_status, {}, {}, 0,
                            answer->content_type.c_str(), &answer->headers);
          });
        });
    if (!queued) SendAdminError(503, "unavailable", "the server is busy or stopping; try again");
  }

  void SendAdminError(int http_status, const char* code, const char* message) {
    static const std::vector<std::pair<std::string, std::string>> kHeaders = {
        {"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}};
    SendReply(http_status, std::string("{\"error\":\"") + code + "\",\"message\":\"" + message + "\"}",
              http_status, {}, {}, 0, "application/json", &kHeaders);
  }

  void ServeMetrics(const http::request<http::string_body>& request) {
    std::string_view target = View(request.target());
    target = target.substr(0, target.find('?'));
    if (request.method() != http::verb::get && !head_) return SendReply(405, "", 405);
    if (target == "/metrics") {
      return SendReply(200, FormatMetrics(state_.metrics.Snapshot()), 200, {}, {}, 0,
                       "text/plain; version=0.0.4; charset=utf-8");
    }
    if (target == "/health") {
      if (state_.metrics.database_up.load()) return SendReply(200, "ok", 200);
      return SendReply(503, "", 503);
    }
    SendReply(404, "", 404);
  }

  void SendUnavailable(Unavailable reason) {
    state_.metrics.CountUnavailable(reason);
    SendReply(503, "", 503);
  }

  void SendReply(int http_status, std::string body, int status, std::string product = {},
                 std::string account = {}, int32_t account_type = 0,
                 const char* content_type = "text/plain",
                 const std::vector<std::pair<std::string, std::string>>* headers = nullptr) {
    response_ = {};
    response_.version(version_);
    response_.result(static_cast<unsigned>(http_status));
    response_.set(http::field::content_type, content_type);
    if (http_status == 405 && site_ != Site::kAdmin) {
      response_.set(http::field::allow, site_ == Site::kFetch ? "POST" : "GET");
    }
    if (headers) {
      for (const auto& [name, value] : *headers) response_.insert(name, value);
    }
    keep_alive_ = keep_alive_ && !Stopping();
    response_.keep_alive(keep_alive_);
    if (!keep_alive_) response_.set(http::field::connection, "close");
    const std::size_t length = body.size();
    if (!head_) response_.body() = std::move(body);
    response_.content_length(length);

    row_ = FetchLogRow{};
    row_.time = received_;
    row_.product = std::move(product);
    row_.account = std::move(account);
    row_.account_type = account_type;
    row_.peer = client_;
    row_.https = kTls;
    row_.status = status;
    row_.instance = state_.options.instance;

    phase_ = Phase::kWriting;
    Lowest().expires_after(state_.options.write_timeout);
    http::async_write(*stream_, response_,
                      [self = this->shared_from_this()](boost::system::error_code ec, std::size_t) {
                        self->OnWrite(ec);
                      });
  }

  void OnWrite(boost::system::error_code ec) {
    response_ = {};  // its body is sent: not held while the connection waits
    if (site_ == Site::kFetch) {
      const auto micros =
          std::chrono::duration_cast<std::chrono::microseconds>(Steady::now() - received_steady_);
      row_.micros = micros.count();
      state_.metrics.CountFetch(row_.status, static_cast<uint64_t>(row_.micros));
      state_.log.Push(std::move(row_));
    }
    if (ec) {
      if (ec == beast::error::timeout) state_.metrics.connections_timed_out.fetch_add(1);
      return Close(false);
    }
    if (keep_alive_ && !Stopping()) return ReadNext();
    Close(true);
  }

  // Ends the connection. `graceful` after a reply: TLS says close_notify, and
  // what the client still sends is read and discarded for a moment, so that
  // closing with unread bytes does not reset the reply away before the
  // client reads it.
  void Close(bool graceful) {
    phase_ = Phase::kClosing;
    if (!graceful || stop_requested_) return Lowest().close();
    Lowest().expires_after(kLingerTime);
    if constexpr (kTls) {
      stream_->async_shutdown([self = this->shared_from_this()](boost::system::error_code) {
        self->Lowest().close();
      });
    } else {
      boost::system::error_code ignored;
      Lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
      Discard();
    }
  }

  void Discard() {
    buffer_.clear();
    stream_->async_read_some(
        buffer_.prepare(std::min(kDiscardChunk, buffer_.max_size())),
        [self = this->shared_from_this()](boost::system::error_code ec, std::size_t n) {
          self->discarded_ += n;
          if (ec || self->discarded_ >= kLingerBytes) return self->Lowest().close();
          self->Discard();
        });
  }

  ServeState& state_;
  const Site site_;
  const std::string peer_slot_;
  const std::shared_ptr<net::ssl::context> tls_;  // outlives stream_, which uses it
  tcp::socket socket_;            // until the first byte; then moved into stream_
  net::steady_timer arrival_;     // the deadline of the wait for that byte
  std::optional<Stream> stream_;  // made once the first byte is here
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  FetchLogRow row_;
  net::ip::address peer_;
  std::string client_;
  Phase phase_ = Phase::kArriving;
  bool stop_requested_ = false;
  bool keep_alive_ = false;
  bool head_ = false;
  bool arrival_timed_out_ = false;
  bool handshake_slot_ = false;  // holds one of max_handshakes
  bool waiting_slot_ = false;    // in line for one
  unsigned version_ = 11;
  unsigned served_ = 0;
  Steady::time_point request_start_{};
  Steady::time_point received_steady_{};
  Clock::time_point received_{};
  std::size_t discarded_ = 0;
};

}  // namespace

void StartSession(ServeState& state, tcp::socket socket, Site site,
                  std::shared_ptr<net::ssl::context> tls, std::string peer_slot) {
  if (tls) {
    std::make_shared<Session<true>>(state, std::move(socket), site, std::move(tls), std::move(peer_slot))->Begin();
  } else {
    std::make_shared<Session<false>>(state, std::move(socket), site, nullptr, std::move(peer_slot))->Begin();
  }
}

}  // namespace pbs
