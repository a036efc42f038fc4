// The built binary serving a database that its own commands change at the
// same time: each change decides the very next fetch, a backup is taken
// meanwhile, and SIGTERM ends it with 0 and every fetch in the log.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "params/reply_codec.h"
#include "run_binary.h"
#include "temp_dir.h"

namespace {

// A port of 127.0.0.1 that was free a moment ago.
int FreePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

// One request on its own connection; the reply's body decoded ("" on failure).
std::string Post(int port, const std::string& target, const std::string& body) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval deadline{30, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return "";
  }
  const std::string request = "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buf[4096];
  for (ssize_t n; (n = recv(fd, buf, sizeof buf, 0)) > 0;) reply.append(buf, static_cast<std::size_t>(n));
  close(fd);
  const std::size_t at = reply.find("\r\n\r\n");
  return at == std::string::npos ? "" : pb::Base64Decode(reply.substr(at + 4));
}

TEST(Serve, CommandsDecideTheNextFetchWhileItServes) {
  pbstest::TempDir dir;
  const std::string db = dir.File("server.db"), folder = dir.File(""), ready = dir.File("ready");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--db", db, "init"},
           {"--db", db, "product", "add", "pb", "--base-path", "/pb/"},
           {"--db", db, "import", "pb", PBS_SOURCE_DIR "/server/params.json"},
       }) {
    ASSERT_EQ(pbstest::Run(args, folder).status, 0);
  }
  const int port = FreePort();
  const pid_t server = pbstest::Start({"--db", db, "serve", "--listen", "127.0.0.1", "--http-port",
                                       std::to_string(port), "--https-port", "0", "--rate-limit", "0",
                                       "--metrics-listen", "", "--admin-listen", "off", "--ready-file", ready},
                                      folder + "serve.out", folder + "serve.err");
  ASSERT_GT(server, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(ready) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ASSERT_TRUE(std::filesystem::exists(ready)) << pbstest::Slurp(folder + "serve.err");

  const std::string full = "error=100&func101=1.5&func102=0.00025&func103=12345.678&lotStep=0.01";
  const struct {
    const char* what;
    std::vector<std::string> command;   // run before the fetch; empty: none
    std::string reply;
  } rows[] = {
      {"imported", {}, full},
      {"set changed", {"set", "put", "pb", "imported-1", "func101=2.75", "lotStep=0.02"},
       "error=100&func101=2.75&lotStep=0.02"},
      {"override", {"license", "update", "pb", "12345", "--override", "func101=7"}, "error=100&func101=7&lotStep=0.02"},
      {"re-typed", {"license", "update", "pb", "12345", "--types", "1"}, "error=202&errorD=Account type not allowed"},
      {"suspended", {"license", "suspend", "pb", "12345"}, "error=204&errorD=License suspended"},
      {"backup while serving", {"backup", folder + "copy.db"}, "error=204&errorD=License suspended"},
      {"reworded", {"product", "text", "pb", "204", "Paused"}, "error=204&errorD=Paused"},
      {"revoked", {"license", "revoke", "pb", "12345"}, "error=205&errorD=License revoked"},
  };
  int fetches = 0;
  for (const auto& row : rows) {
    if (!row.command.empty()) {
      std::vector<std::string> args = {"--db", db};
      args.insert(args.end(), row.command.begin(), row.command.end());
      const pbstest::Outcome o = pbstest::Run(args, folder);
      EXPECT_EQ(o.status, 0) << row.what << ": " << o.err;
    }
    EXPECT_EQ(Post(port, "/pb/run/", "account=12345&accountType=0"), row.reply) << row.what;
    ++fetches;
  }
  EXPECT_EQ(Post(port, "/pb/run/", "account=777&accountType=0"), "error=201&errorD=Unknown account");
  EXPECT_EQ(Post(port, "/elsewhere/run/", "account=12345&accountType=0"), "error=404&errorD=Unknown path");
  EXPECT_EQ(Post(port, "/pb/run/", "account=12345"), "error=400&errorD=Malformed request");
  // Nothing of the admin API is served on a fetch port.
  EXPECT_EQ(Post(port, "/api/v1/products/pb/licenses/12345/revoke", ""), "error=404&errorD=Unknown path");
  fetches += 4;

  // The backup holds the state at its moment: suspended, not yet revoked.
  const pbstest::Outcome copy = pbstest::Run({"--db", folder + "copy.db", "license", "show", "pb", "12345"}, folder);
  EXPECT_NE(copy.out.find("state:        suspended"), std::string::npos) << copy.out << copy.err;

  kill(server, SIGTERM);
  const pbstest::Outcome stopped = pbstest::Collect(server, folder + "serve.out", folder + "serve.err");
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  const pbstest::Outcome log = pbstest::Run({"--db", db, "log", "pb", "--json"}, folder);
  ASSERT_EQ(log.status, 0) << log.err;
  const nlohmann::json rows_logged = nlohmann::json::parse(log.out);
  // The 404s name no product: they are logged, under none.
  EXPECT_EQ(rows_logged.size(), static_cast<std::size_t>(fetches - 2));
  std::vector<int> statuses;
  for (const auto& r : rows_logged) statuses.push_back(r["status"]);
  EXPECT_EQ(statuses, (std::vector<int>{100, 100, 100, 202, 204, 204, 204, 205, 201, 400}));
}

}  // namespace
