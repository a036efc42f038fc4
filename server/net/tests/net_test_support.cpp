#include "server/net/tests/net_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace pbs::test {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Steady = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done) {
  const auto deadline = Steady::now() + kPatience;
  while (!done()) {
    if (Steady::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void Script::Release() {
  std::lock_guard<std::mutex> lock(mutex);
  released = true;
  changed.notify_all();
}

std::vector<FetchInput> Script::Inputs() {
  std::lock_guard<std::mutex> lock(mutex);
  return inputs;
}

std::vector<FetchLogRow> Script::Logged() {
  std::lock_guard<std::mutex> lock(mutex);
  return logged;
}

int Script::slow_waiting() {
  std::lock_guard<std::mutex> lock(mutex);
  return waiting;
}

namespace {

std::string AccountOf(const std::string& body) {
  const std::size_t start = body.find("account=");
  if (start == std::string::npos) return {};
  const std::size_t from = start + 8;
  return body.substr(from, body.find('&', from) - from);
}

}  // namespace

FetchAnswer FakeService::Answer(const FetchInput& in) {
  const std::string account = AccountOf(in.body);
  {
    std::unique_lock<std::mutex> lock(script_->mutex);
    script_->inputs.push_back(in);
    if (account.rfind("slow", 0) == 0) {
      ++script_->waiting;
      script_->changed.wait_for(lock, kPatience, [&] { return script_->released; });
      --script_->waiting;
    }
  }
  if (account == "down") throw DatabaseUnavailable("database is locked");
  if (account == "boom") throw std::runtime_error("unexpected");
  FetchAnswer answer;
  answer.account = account;
  answer.product = "pb";
  if (in.method != "POST") {
    answer.http_status = 405;
    answer.status = 405;
    answer.body = "ZXJyb3I9NDA1";  // error=405
    return answer;
  }
  answer.status = 100;
  answer.body = kSuccessBody;
  return answer;
}

void FakeService::WriteLog(const std::vector<FetchLogRow>& rows) {
  std::lock_guard<std::mutex> lock(script_->mutex);
  if (script_->log_failures_left > 0) {
    --script_->log_failures_left;
    throw DatabaseUnavailable("database is locked");
  }
  script_->logged.insert(script_->logged.end(), rows.begin(), rows.end());
}

void FakeService::NoteDroppedRows(uint64_t count) {
  std::lock_guard<std::mutex> lock(script_->mutex);
  if (script_->log_failures_left > 0) throw DatabaseUnavailable("database is locked");
  script_->dropped_noted += count;
}

FetchServiceFactory FakeFactory(const std::shared_ptr<Script>& script) {
  return [script] { return std::make_unique<FakeService>(script); };
}

RawClient::RawClient(const tcp::endpoint& to, const std::string& from) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, from.c_str(), &local.sin_addr);
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(to.port());
  ::inet_pton(AF_INET, to.address().to_string().c_str(), &remote.sin_addr);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawClient::Send(const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

bool RawClient::Fill(Steady::time_point deadline) {
  if (eof_) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
  if (left.count() <= 0) return false;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  char chunk[4096];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    eof_ = true;
    return false;
  }
  pending_.append(chunk, static_cast<std::size_t>(n));
  return true;
}

std::optional<Reply> TakeReply(std::string& pending, bool head_only) {
  const std::size_t end = pending.find("\r\n\r\n");
  if (end == std::string::npos) return std::nullopt;
  Reply reply;
  const std::string head = pending.substr(0, end);
  std::size_t line_end = head.find("\r\n");
  const std::string status_line = head.substr(0, line_end);
  if (status_line.size() >= 12) reply.status = std::atoi(status_line.c_str() + 9);
  while (line_end != std::string::npos) {
    const std::size_t next = head.find("\r\n", line_end + 2);
    const std::string line = head.substr(line_end + 2, next - line_end - 2);
    const std::size_t colon = line.find(':');
    if (colon != std::string::npos) {
      std::string name = line.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::size_t value = colon + 1;
      while (value < line.size() && line[value] == ' ') ++value;
      reply.headers[name] = line.substr(value);
    }
    line_end = next;
  }
  const auto length = reply.headers.find("content-length");
  std::size_t size = 0;
  if (!head_only && length != reply.headers.end()) size = std::stoul(length->second);
  if (pending.size() < end + 4 + size) return std::nullopt;
  reply.body = pending.substr(end + 4, size);
  pending.erase(0, end + 4 + size);
  reply.complete = length != reply.headers.end();
  return reply;
}

Reply RawClient::Read(bool head_only) {
  const auto deadline = Steady::now() + kPatience;
  std::optional<Reply> reply;
  while (!(reply = TakeReply(pending_, head_only))) {
    if (!Fill(deadline)) return {};
  }
  const auto connection = reply->headers.find("connection");
  if (reply->complete && connection != reply->headers.end() && connection->second == "close") {
    reply->closed_after = WaitClosed();
  }
  return *reply;
}

bool RawClient::WaitClosed() {
  const auto deadline = Steady::now() + kPatience;
  while (!eof_) {
    if (!Fill(deadline) && !eof_) return false;
  }
  return true;
}

std::string Post(const std::string& body, const std::string& extra_headers,
                 const std::string& target) {
  return "POST " + target + " HTTP/1.1\r\n"
         "User-Agent: PostSample/1.0\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\n"
         "Accept: */*\r\n"
         "Host: 127.0.0.1\r\n"
         "Connection: Keep-Alive\r\n" +
         extra_headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

Reply Fetch(const tcp::endpoint& to, const std::string& request, const std::string& from) {
  RawClient client(to, from);
  if (!client.connected() || !client.Send(request)) return {};
  return client.Read();
}

ServeOptions TestOptions() {
  ServeOptions o;
  o.listen = "127.0.0.1";
  o.rate_limit = 0;
  o.metrics_listen.clear();
  o.admin_listen = "off";
  o.net_threads = 2;
  o.db_threads = 2;
  o.handshake_timeout = std::chrono::milliseconds(2000);
  o.header_timeout = std::chrono::milliseconds(2000);
  o.body_timeout = std::chrono::milliseconds(2000);
  o.request_timeout = std::chrono::milliseconds(3000);
  o.idle_timeout = std::chrono::milliseconds(2000);
  o.write_timeout = std::chrono::milliseconds(2000);
  o.drain_timeout = kPatience;
  return o;
}

RunningServer::RunningServer(const ServeOptions& options, const std::shared_ptr<Script>& script,
                             bool https, bool metrics) {
  LogWriter::Tuning tuning;
  tuning.gather = std::chrono::milliseconds(1);
  tuning.retries = {std::chrono::milliseconds(1), std::chrono::milliseconds(1)};
  server_ = std::make_unique<Server>(options, FakeFactory(script), tuning);
  ListenPlan plan;
  const auto loopback = net::ip::make_address("127.0.0.1");
  plan.http = tcp::endpoint(loopback, 0);
  if (https) plan.https = tcp::endpoint(loopback, 0);
  if (metrics) plan.metrics = tcp::endpoint(loopback, 0);
  started_ = server_->Start(plan, error_);
  if (started_) thread_ = std::thread([this] { server_->Run(); });
}

RunningServer::~RunningServer() { Stop(); }

void RunningServer::Stop() {
  if (!thread_.joinable()) return;
  server_->RequestStop();
  thread_.join();
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pbs-net-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace pbs::test
