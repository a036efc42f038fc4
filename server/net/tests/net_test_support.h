// What the network shell's tests share: a scripted FetchService, a plain
// client on raw sockets (every wait bounded), a Server run on its own thread,
// and waiting for a condition instead of sleeping.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "server/net/server.h"

namespace pbs::test {

// Every wait of the tests ends by this, and only a real fault reaches it.
inline constexpr std::chrono::seconds kPatience{20};

// Polls `done` until it holds or kPatience passed; true if it held.
bool WaitFor(const std::function<bool()>& done);

// The replies of the scripted service, chosen by the request body's account
// (the text after "account=" up to '&'):
//   "slow..."  waits until Script::Release (or kPatience), then answers 100
//   "down"     throws DatabaseUnavailable
//   "boom"     throws std::runtime_error
//   other      POST: HTTP 200, body Base64("error=100"), status 100;
//              any other method: HTTP 405, status 405
struct Script {
  void Release();
  // Requests that reached Answer, in order.
  std::vector<FetchInput> Inputs();
  std::vector<FetchLogRow> Logged();
  int slow_waiting();

  std::mutex mutex;
  std::condition_variable changed;
  bool released = false;
  int waiting = 0;
  std::vector<FetchInput> inputs;
  std::vector<FetchLogRow> logged;
  int log_failures_left = 0;  // WriteLog throws DatabaseUnavailable this many times
  uint64_t dropped_noted = 0;
};

class FakeService : public FetchService {
 public:
  explicit FakeService(std::shared_ptr<Script> script) : script_(std::move(script)) {}
  FetchAnswer Answer(const FetchInput& in) override;
  void WriteLog(const std::vector<FetchLogRow>& rows) override;
  // Throws DatabaseUnavailable while WriteLog would.
  void NoteDroppedRows(uint64_t count) override;

 private:
  std::shared_ptr<Script> script_;
};

FetchServiceFactory FakeFactory(const std::shared_ptr<Script>& script);

// Base64("error=100"): the scripted service's success body.
inline const std::string kSuccessBody = "ZXJyb3I9MTAw";

// A reply as the client saw it.
struct Reply {
  bool complete = false;  // a whole reply (status line, headers, Content-Length bytes)
  int status = 0;
  std::map<std::string, std::string> headers;  // names in lower case
  std::string body;
  bool closed_after = false;  // the server closed the connection after it
};

// Takes one whole reply off the front of `pending`; nothing (and `pending`
// untouched) while it is not all there. `complete` is set when it had a
// Content-Length.
std::optional<Reply> TakeReply(std::string& pending, bool head_only = false);

// A blocking TCP client whose every wait ends by a deadline.
class RawClient {
 public:
  // Connects from `from` (any port) to `to`. Check connected().
  RawClient(const boost::asio::ip::tcp::endpoint& to, const std::string& from = "127.0.0.1");
  ~RawClient();
  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes);
  // Reads one reply (waits at most kPatience); `head`: a reply to HEAD, no body.
  Reply Read(bool head = false);
  // True when the server closes the connection (EOF or reset) within kPatience.
  bool WaitClosed();

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  std::string pending_;
  bool eof_ = false;
};

// "POST <target> HTTP/1.1" with the module's headers and `body`.
std::string Post(const std::string& body, const std::string& extra_headers = "",
                 const std::string& target = "/pb/run/");
// One request on a fresh connection from `from`.
Reply Fetch(const boost::asio::ip::tcp::endpoint& to, const std::string& request,
            const std::string& from = "127.0.0.1");

// Options with short deadlines and everything on 127.0.0.1.
ServeOptions TestOptions();

// A Server on free ports of 127.0.0.1, running on its own thread.
class RunningServer {
 public:
  RunningServer(const ServeOptions& options, const std::shared_ptr<Script>& script,
                bool https = false, bool metrics = false);
  ~RunningServer();  // Stop()
  bool started() const { return started_; }
  const std::string& error() const { return error_; }
  boost::asio::ip::tcp::endpoint http() const { return *server_->http_endpoint(); }
  boost::asio::ip::tcp::endpoint https() const { return *server_->https_endpoint(); }
  boost::asio::ip::tcp::endpoint metrics() const { return *server_->metrics_endpoint(); }
  Server& server() { return *server_; }
  // Stops, drains, flushes the log; returns when Run has returned.
  void Stop();

 private:
  std::unique_ptr<Server> server_;
  std::thread thread_;
  bool started_ = false;
  std::string error_;
};

// A fresh directory under the temporary directory, removed at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace pbs::test
