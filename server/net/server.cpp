#include "server/net/server.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

#include <boost/asio/post.hpp>

#include "server/net/endpoint_text.h"
#include "server/net/notice.h"

namespace pbs {
namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;

constexpr std::chrono::milliseconds kDrainPoll{20};
constexpr std::chrono::seconds kTrimEvery{5};

}  // namespace

bool PlanListeners(const ServeOptions& o, ListenPlan& plan, std::string& error) {
  plan = ListenPlan{};
  boost::system::error_code ec;
  const net::ip::address address = net::ip::make_address(o.listen, ec);
  if (ec) {
    error = "--listen " + o.listen + ": not an IPv4 or IPv6 address";
    return false;
  }
  if (o.cert_file.empty() != o.key_file.empty()) {
    error = "--cert and --key go together";
    return false;
  }
  if (o.http_port != 0) plan.http = tcp::endpoint(address, o.http_port);
  if (o.https_port != 0 && !o.cert_file.empty()) plan.https = tcp::endpoint(address, o.https_port);
  if (!plan.http && !plan.https) {
    error = "nothing to serve: http is off and https is off (it needs --cert and --key)";
    return false;
  }
  if (!o.metrics_listen.empty()) {
    plan.metrics = ParseEndpoint(o.metrics_listen);
    if (!plan.metrics) {
      error = "--metrics-listen " + o.metrics_listen + ": not ADDR:PORT ([ADDR]:PORT for IPv6)";
      return false;
    }
  }
  if (!o.admin_listen.empty() && o.admin_listen != "off") {
    plan.admin = ParseEndpoint(o.admin_listen);
    if (!plan.admin) {
      error = "--admin-listen " + o.admin_listen + ": not ADDR:PORT ([ADDR]:PORT for IPv6) or off";
      return false;
    }
  }
  if (o.admin_cert_file.empty() != o.admin_key_file.empty()) {
    error = "--admin-cert and --admin-key go together";
    return false;
  }
  return true;
}

unsigned NetThreads(unsigned net_threads, unsigned cores) {
  if (net_threads != 0) return net_threads;
  return std::max(cores, 1u);
}

bool ShouldTrim(int64_t peak, int64_t open) { return peak >= 2 * std::max<int64_t>(open, 0) + kTrimFloor; }

Server::Server(const ServeOptions& options, FetchServiceFactory factory,
               LogWriter::Tuning log_tuning)
    : factory_(std::move(factory)),
      state_(options, std::move(log_tuning)),
      io_(static_cast<int>(NetThreads(options.net_threads, std::thread::hardware_concurrency()))),
      drain_timer_(io_),
      trim_timer_(io_),
      net_threads_(NetThreads(options.net_threads, std::thread::hardware_concurrency())) {}

Server::~Server() {
  // Run not called, or Start failed: nothing runs the network; stop the rest.
  state_.pool.Stop();
  state_.log.Stop();
}

bool Server::Start(const ListenPlan& plan, std::string& error) {
  for (const std::string& proxy : state_.options.trusted_proxies) {
    if (!state_.trusted.Add(proxy)) {
      error = "--trusted-proxy " + proxy + ": not an address or ADDR/PREFIX";
      return false;
    }
  }
  if (plan.https) {
    TlsIdentity identity = LoadTlsIdentity(state_.options.cert_file, state_.options.key_file, error);
    if (!identity.context) return false;
    state_.SetTls(std::move(identity));
    https_ = true;
  }
  if (plan.admin && !state_.options.admin_cert_file.empty()) {
    TlsIdentity identity = LoadTlsIdentity(state_.options.admin_cert_file, state_.options.admin_key_file, error);
    if (!identity.context) {
      error = "admin listener: " + error;
      return false;
    }
    state_.SetAdminTls(std::move(identity));
    admin_https_ = true;
  }
  std::string failure;
  if (!state_.pool.Start(state_.options.db_threads, factory_, failure)) {
    error = "database: " + failure;
    return false;
  }
  if (!state_.log.Start(factory_, failure)) {
    error = "database: " + failure;
    return false;
  }
  auto open = [&](const std::optional<tcp::endpoint>& at, Site site, bool tls,
                  std::shared_ptr<Listener>& out) {
    if (!at) return true;
    out = Listener::Open(state_, io_, *at, site, tls, error);
    if (!out) return false;
    listeners_.push_back(out);
    return true;
  };
  if (!open(plan.http, Site::kFetch, false, http_) ||
      !open(plan.https, Site::kFetch, true, https_listener_) ||
      !open(plan.metrics, Site::kMetrics, false, metrics_) ||
      !open(plan.admin, Site::kAdmin, admin_https_, admin_)) {
    return false;
  }
  for (const auto& listener : listeners_) listener->Start();
  WatchMemory();
  return true;
}

std::optional<tcp::endpoint> Server::http_endpoint() const {
  if (!http_) return std::nullopt;
  return http_->local_endpoint();
}

std::optional<tcp::endpoint> Server::https_endpoint() const {
  if (!https_listener_) return std::nullopt;
  return https_listener_->local_endpoint();
}

std::optional<tcp::endpoint> Server::metrics_endpoint() const {
  if (!metrics_) return std::nullopt;
  return metrics_->local_endpoint();
}

std::optional<tcp::endpoint> Server::admin_endpoint() const {
  if (!admin_) return std::nullopt;
  return admin_->local_endpoint();
}

std::string Server::pin() { return state_.CurrentTls().pin; }

void Server::Run() {
  const unsigned extra = net_threads_ - 1;
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < extra; ++i) threads.emplace_back([this] { io_.run(); });
  io_.run();
  for (std::thread& thread : threads) thread.join();
  // No network thread runs now. A fetch still queued has lost its
  // connection's handlers: it is dropped unrun.
  state_.pool.Stop();
  state_.log.Stop();
}

void Server::RequestStop() {
  net::post(io_, [this] { BeginStop(); });
}

void Server::BeginStop() {
  if (state_.stopping.exchange(true)) return;
  for (const auto& listener : listeners_) listener->Close();
  trim_timer_.cancel();
  state_.registry.StopAll();
  drain_deadline_ = std::chrono::steady_clock::now() + state_.options.drain_timeout;
  CheckDrained();
}

void Server::CheckDrained() {
  const int64_t open = state_.metrics.open_connections.load();
  if (open == 0) return io_.stop();
  if (std::chrono::steady_clock::now() >= drain_deadline_) {
    PrintLine("stopping: " + std::to_string(open) +
              " connections still busy at the drain deadline are cut");
    return io_.stop();
  }
  drain_timer_.expires_after(kDrainPoll);
  drain_timer_.async_wait([this](boost::system::error_code) { CheckDrained(); });
}

void Server::WatchMemory() {
  trim_timer_.expires_after(kTrimEvery);
  trim_timer_.async_wait([this](boost::system::error_code ec) {
    if (ec || state_.stopping.load()) return;
    const int64_t open = state_.metrics.open_connections.load();
    if (ShouldTrim(state_.metrics.open_connections_peak.exchange(open), open)) ::malloc_trim(0);
    WatchMemory();
  });
}

bool Server::ReloadTls(std::string& message) {
  if (!https_ && !admin_https_) {
    message = "reload: https is off, there is no certificate to load";
    return false;
  }
  bool ok = true;
  std::vector<std::string> said;
  if (admin_https_) {
    std::string error;
    TlsIdentity identity =
        LoadTlsIdentity(state_.options.admin_cert_file, state_.options.admin_key_file, error);
    if (identity.context) {
      said.push_back("reloaded " + state_.options.admin_cert_file + " for the admin listener's new connections");
      state_.SetAdminTls(std::move(identity));
      state_.metrics.tls_reloads.fetch_add(1);
    } else {
      ok = false;
      state_.metrics.tls_reload_failures.fetch_add(1);
      said.push_back("admin reload failed, the current certificate stays: " + error);
    }
  }
  if (!https_) {
    message = said.front();
    return ok;
  }
  std::string fetch_message;
  ok = ReloadFetchTls(fetch_message) && ok;
  said.insert(said.begin(), fetch_message);
  message = said[0];
  for (std::size_t i = 1; i < said.size(); ++i) message += "; " + said[i];
  return ok;
}

bool Server::ReloadFetchTls(std::string& message) {
  std::string error;
  TlsIdentity identity = LoadTlsIdentity(state_.options.cert_file, state_.options.key_file, error);
  if (!identity.context) {
    state_.metrics.tls_reload_failures.fetch_add(1);
    message = "reload failed, the current certificate stays: " + error;
    return false;
  }
  message = "reloaded " + state_.options.cert_file + " for new connections; key pin " + identity.pin;
  state_.SetTls(std::move(identity));
  state_.metrics.tls_reloads.fetch_add(1);
  return true;
}

}  // namespace pbs
