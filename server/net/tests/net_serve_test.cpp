// The fetch listener on loopback with the scripted service: replies, caps,
// deadlines, keep-alive, floods, the queue, proxies, metrics and the stop.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/net/canned_replies.h"
#include "server/net/tests/net_test_support.h"

namespace pbs {
namespace {

using test::Fetch;
using test::Post;
using test::RawClient;
using test::Reply;
using test::RunningServer;
using test::Script;
using test::TestOptions;
using test::WaitFor;

std::string Header(const Reply& reply, const std::string& name) {
  const auto found = reply.headers.find(name);
  return found == reply.headers.end() ? std::string() : found->second;
}

// What every reply of the server has: a Content-Length that is the body's,
// text/plain, and no Server header.
void ExpectWellFormed(const Reply& reply, const std::string& name) {
  ASSERT_TRUE(reply.complete) << name;
  ASSERT_TRUE(reply.headers.count("content-length")) << name;
  EXPECT_EQ(reply.headers.at("content-length"), std::to_string(reply.body.size())) << name;
  EXPECT_EQ(reply.headers.count("content-type") ? reply.headers.at("content-type") : "",
            "text/plain")
      << name;
  EXPECT_FALSE(reply.headers.count("server")) << name;
}

std::string Chunked(const std::vector<std::string>& chunks) {
  std::string text =
      "POST /pb/run/ HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  for (const std::string& c : chunks) {
    char size[16];
    std::snprintf(size, sizeof size, "%zx", c.size());
    text += std::string(size) + "\r\n" + c + "\r\n";
  }
  return text + "0\r\n\r\n";
}

struct RequestCase {
  const char* name;
  std::string request;
  int http_status;
  std::string body;
  bool closed;            // "Connection: close" and the connection closed
  int logged;             // the fetch log row's status
  const char* service_body;  // what reached the service; nullptr: nothing did
  bool head = false;
};

const std::string kPad(5000, 'p');

const RequestCase kRequests[] = {
    {"a fetch", Post("account=123&accountType=0"), 200, test::kSuccessBody, false, 100,
     "account=123&accountType=0"},
    {"HTTP/1.0 closes",
     "POST /pb/run/ HTTP/1.0\r\nContent-Length: 25\r\n\r\naccount=123&accountType=0", 200,
     test::kSuccessBody, true, 100, "account=123&accountType=0"},
    {"Connection: close is honoured",
     "POST /pb/run/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: 23\r\n\r\n"
     "account=1&accountType=0", 200,
     test::kSuccessBody, true, 100, "account=1&accountType=0"},
    {"a GET is the service's to answer", "GET /pb/run/ HTTP/1.1\r\nHost: x\r\n\r\n", 405,
     "ZXJyb3I9NDA1", false, 405, ""},
    {"HEAD: the headers of the reply only", "HEAD /pb/run/ HTTP/1.1\r\nHost: x\r\n\r\n", 405, "",
     false, 405, "", true},
    {"a chunked body within the cap reaches the service whole",
     Chunked({"account=77", "&accountType=", "1"}), 200, test::kSuccessBody, false, 100,
     "account=77&accountType=1"},
    {"a header above the cap", Post("account=1&accountType=0", "X-Pad: " + kPad + "\r\n"), 400,
     RequestTooLargeBody(), true, 400, nullptr},
    {"a declared body above the cap", Post("account=" + kPad + "&accountType=0"), 400,
     RequestTooLargeBody(), true, 400, nullptr},
    {"a chunked body above the cap", Chunked({kPad.substr(0, 3000), kPad.substr(0, 3000)}), 400,
     RequestTooLargeBody(), true, 400, nullptr},
    {"a request line HTTP cannot read", "GARBAGE\r\n\r\n", 400, MalformedRequestBody(), true, 400,
     nullptr},
    {"a header line without a colon", "POST /pb/run/ HTTP/1.1\r\nNoColon\r\n\r\n", 400,
     MalformedRequestBody(), true, 400, nullptr},
    {"a Content-Length that is no number",
     "POST /pb/run/ HTTP/1.1\r\nContent-Length: abc\r\n\r\n", 400, MalformedRequestBody(), true,
     400, nullptr},
    {"two Content-Lengths that differ",
     "POST /pb/run/ HTTP/1.1\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", 400,
     MalformedRequestBody(), true, 400, nullptr},
    {"an unavailable database: an empty 503", Post("account=down&accountType=0"), 503, "", false,
     503, "account=down&accountType=0"},
    {"any other failure of the service: an empty 503", Post("account=boom&accountType=0"), 503,
     "", false, 503, "account=boom&accountType=0"},
};

TEST(Serve, RequestTable) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.instance = "node-a";
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  std::size_t reached = 0;
  for (std::size_t i = 0; i < std::size(kRequests); ++i) {
    const RequestCase& c = kRequests[i];
    RawClient client(server.http());
    ASSERT_TRUE(client.connected()) << c.name;
    ASSERT_TRUE(client.Send(c.request)) << c.name;
    const Reply reply = client.Read(c.head);
    ASSERT_TRUE(reply.complete) << c.name;
    EXPECT_EQ(reply.status, c.http_status) << c.name;
    EXPECT_EQ(reply.body, c.body) << c.name;
    if (c.head) {
      EXPECT_EQ(reply.headers.at("content-length"), "12") << c.name << ": the GET's length";
    } else {
      ExpectWellFormed(reply, c.name);
    }
    if (c.http_status == 405) {
      EXPECT_EQ(Header(reply, "allow"), "POST") << c.name;
    }
    EXPECT_EQ(reply.closed_after, c.closed) << c.name;
    EXPECT_EQ(reply.headers.count("connection") && reply.headers.at("connection") == "close",
              c.closed)
        << c.name;
    if (c.service_body) {
      ++reached;
      const auto inputs = script->Inputs();
      ASSERT_EQ(inputs.size(), reached) << c.name;
      EXPECT_EQ(inputs.back().body, c.service_body) << c.name;
      EXPECT_EQ(inputs.back().peer, "127.0.0.1") << c.name;
      EXPECT_FALSE(inputs.back().https) << c.name;
      EXPECT_EQ(inputs.back().target, "/pb/run/") << c.name;
    } else {
      EXPECT_EQ(script->Inputs().size(), reached) << c.name << ": the service was not asked";
    }
    ASSERT_TRUE(WaitFor([&] { return script->Logged().size() == i + 1; })) << c.name;
    const FetchLogRow row = script->Logged().back();
    EXPECT_EQ(row.status, c.logged) << c.name;
    EXPECT_EQ(row.peer, "127.0.0.1") << c.name;
    EXPECT_EQ(row.instance, "node-a") << c.name;
    EXPECT_GE(row.micros, 0) << c.name;
    EXPECT_NE(row.time.time_since_epoch().count(), 0) << c.name;
  }
  const MetricsSnapshot s = server.server().Snapshot();
  EXPECT_EQ(s.unavailable[static_cast<int>(Unavailable::kDatabase)], 2u);
  EXPECT_FALSE(s.database_up) << "the last fetch asked of the database failed";
}

struct KeepAliveCase {
  const char* name;
  unsigned max_requests;
  int requests;
  bool pipelined;  // all requests sent at once
  std::vector<bool> closes;  // per reply: "Connection: close"
};

const KeepAliveCase kKeepAlive[] = {
    {"kept alive below the bound", 5, 3, false, {false, false, false}},
    {"the bound closes the connection", 2, 2, false, {false, true}},
    {"pipelined requests answered in order", 5, 3, true, {false, false, false}},
    {"pipelined beyond the bound", 2, 3, true, {false, true}},
    {"a bound of 1: no keep-alive", 1, 1, false, {true}},
};

TEST(Serve, KeepAliveTable) {
  for (const KeepAliveCase& c : kKeepAlive) {
    auto script = std::make_shared<Script>();
    ServeOptions options = TestOptions();
    options.max_requests_per_connection = c.max_requests;
    RunningServer server(options, script);
    ASSERT_TRUE(server.started()) << server.error();
    RawClient client(server.http());
    std::string all;
    for (int i = 0; i < c.requests; ++i) {
      all += Post("account=k" + std::to_string(i) + "&accountType=0");
    }
    if (c.pipelined) {
      ASSERT_TRUE(client.Send(all)) << c.name;
    }
    for (std::size_t i = 0; i < c.closes.size(); ++i) {
      if (!c.pipelined) {
        ASSERT_TRUE(client.Send(Post("account=k" + std::to_string(i) + "&accountType=0")));
      }
      const Reply reply = client.Read();
      ASSERT_TRUE(reply.complete) << c.name << " reply " << i;
      EXPECT_EQ(reply.status, 200) << c.name;
      EXPECT_EQ(reply.closed_after, c.closes[i]) << c.name << " reply " << i;
    }
    const auto inputs = script->Inputs();
    ASSERT_EQ(inputs.size(), c.closes.size()) << c.name;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      EXPECT_EQ(inputs[i].body, "account=k" + std::to_string(i) + "&accountType=0") << c.name;
    }
  }
}

// Connections that are slow or silent close by their deadlines, without a
// reply, and never stop a well-behaved client from being served, even with
// a single network thread.
struct SlowCase {
  const char* name;
  std::string first;   // sent, then nothing more
  bool read_reply_first;  // a whole request: its reply comes, then the idle deadline
};

const SlowCase kSlow[] = {
    {"connects and sends nothing", "", false},
    {"half a request line", "POST /pb/r", false},
    {"a header without its end", "POST /pb/run/ HTTP/1.1\r\nHost: x\r\n", false},
    {"a header, half its body", "POST /pb/run/ HTTP/1.1\r\nContent-Length: 25\r\n\r\naccount=", false},
    {"a kept-alive connection left idle", Post("account=1&accountType=0"), true},
};

TEST(Serve, SlowClientsTable) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.net_threads = 1;
  options.header_timeout = std::chrono::milliseconds(300);
  options.body_timeout = std::chrono::milliseconds(300);
  options.idle_timeout = std::chrono::milliseconds(300);
  options.request_timeout = std::chrono::milliseconds(500);
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  for (const SlowCase& c : kSlow) {
    RawClient slow(server.http());
    ASSERT_TRUE(slow.connected()) << c.name;
    if (!c.first.empty()) {
      ASSERT_TRUE(slow.Send(c.first)) << c.name;
    }
    if (c.read_reply_first) {
      ASSERT_TRUE(slow.Read().complete) << c.name;
    }
    const Reply served = Fetch(server.http(), Post("account=9&accountType=0"));
    EXPECT_EQ(served.status, 200) << c.name << ": the well-behaved client";
    EXPECT_EQ(slow.Read().complete, false) << c.name << ": no reply to the slow one";
    EXPECT_TRUE(slow.WaitClosed()) << c.name;
  }
  // Counted when the session sees its deadline, maybe after the client saw the close.
  EXPECT_TRUE(WaitFor(
      [&] { return server.server().Snapshot().connections_timed_out == std::size(kSlow); }));
}

// A client that sends a byte at a time for ever: its connection ends (by a
// deadline or the header cap) while others are served.
TEST(Serve, TrickleDoesNotHoldTheServer) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.net_threads = 1;
  options.header_timeout = std::chrono::milliseconds(500);
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  std::atomic<bool> ended{false};
  std::thread trickle([&] {
    RawClient slow(server.http());
    slow.Send("POST /pb/run/ HTTP/1.1\r\n");
    const auto deadline = std::chrono::steady_clock::now() + test::kPatience;
    while (std::chrono::steady_clock::now() < deadline) {
      if (!slow.Send("X")) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ended = slow.WaitClosed();
  });
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(Fetch(server.http(), Post("account=9&accountType=0")).status, 200);
  }
  trickle.join();
  EXPECT_TRUE(ended);
}

TEST(Serve, ConnectionCap) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.max_connections = 2;
  // The idle connections must outlast the test.
  options.header_timeout = options.request_timeout = std::chrono::minutes(5);
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  auto a = std::make_unique<RawClient>(server.http());
  RawClient b(server.http());
  ASSERT_TRUE(WaitFor([&] { return server.server().Snapshot().open_connections == 2; }));
  RawClient refused(server.http());
  EXPECT_TRUE(refused.WaitClosed()) << "the third connection is closed at once";
  EXPECT_EQ(server.server().Snapshot().connections_refused, 1u);
  a.reset();
  ASSERT_TRUE(WaitFor([&] { return server.server().Snapshot().open_connections == 1; }));
  EXPECT_EQ(Fetch(server.http(), Post("account=1&accountType=0")).status, 200);
}

// One address holding its share of connections open and silent cannot take
// the slots of the others: its next connection is closed at accept, while a
// client at another address is served.
TEST(Serve, ConnectionCapPerAddress) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.max_connections = 100;
  options.max_connections_per_address = 2;
  options.header_timeout = options.request_timeout = std::chrono::minutes(5);
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  auto a = std::make_unique<RawClient>(server.http(), "127.0.0.1");
  RawClient b(server.http(), "127.0.0.1");
  ASSERT_TRUE(WaitFor([&] { return server.server().Snapshot().open_connections == 2; }));
  RawClient refused(server.http(), "127.0.0.1");
  EXPECT_TRUE(refused.WaitClosed()) << "the address's third connection is closed at once";
  EXPECT_EQ(server.server().Snapshot().connections_refused, 1u);
  EXPECT_EQ(Fetch(server.http(), Post("account=2&accountType=0"), "127.0.0.2").status, 200);
  a.reset();
  ASSERT_TRUE(WaitFor([&] { return server.server().Snapshot().open_connections == 1; }));
  EXPECT_EQ(Fetch(server.http(), Post("account=1&accountType=0"), "127.0.0.1").status, 200);
}

// A flood from one address meets the rate limit (an empty 503, logged); a
// client at another address is served all the while.
TEST(Serve, FloodFromOneAddress) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.rate_limit = 1;  // one a minute: no token comes back during the test
  options.rate_burst = 3;
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  Reply refused;
  int sent = 0;
  while (sent < 20 && refused.status != 503) {
    refused = Fetch(server.http(), Post("account=f&accountType=0"), "127.0.0.1");
    ++sent;
  }
  ASSERT_EQ(refused.status, 503);
  EXPECT_EQ(sent, 4) << "three allowed by the burst, the fourth refused";
  EXPECT_EQ(refused.body, "");
  EXPECT_EQ(Header(refused, "content-length"), "0");
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Fetch(server.http(), Post("account=f&accountType=0"), "127.0.0.1").status, 503);
  }
  EXPECT_EQ(Fetch(server.http(), Post("account=g&accountType=0"), "127.0.0.2").status, 200);
  // A malformed request counts against the limit too.
  EXPECT_EQ(Fetch(server.http(), "GARBAGE\r\n\r\n", "127.0.0.1").status, 503);
  server.Stop();
  int refusals = 0;
  for (const FetchLogRow& row : script->Logged()) {
    if (row.status == 503) {
      EXPECT_EQ(row.peer, "127.0.0.1");
      ++refusals;
    }
  }
  EXPECT_EQ(refusals, 5) << "every refusal is in the fetch log";
  EXPECT_EQ(script->Inputs().size(), 4u) << "refusals never reach the database";
  EXPECT_EQ(server.server().Snapshot().unavailable[static_cast<int>(Unavailable::kRateLimit)], 5u);
}

struct ProxyCase {
  const char* name;
  const char* from;
  std::string headers;
  const char* client;
};

const ProxyCase kProxies[] = {
    {"a trusted proxy's X-Forwarded-For", "127.0.0.1", "X-Forwarded-For: 203.0.113.7\r\n",
     "203.0.113.7"},
    {"a trusted proxy's X-Real-IP", "127.0.0.1", "X-Real-IP: 203.0.113.8\r\n", "203.0.113.8"},
    {"a trusted proxy without headers", "127.0.0.1", "", "127.0.0.1"},
    {"an untrusted peer's header is ignored", "127.0.0.2", "X-Forwarded-For: 203.0.113.7\r\n",
     "127.0.0.2"},
    {"the proxy's hop, not the client's", "127.0.0.1",
     "X-Forwarded-For: 1.1.1.1\r\nX-Forwarded-For: 203.0.113.9\r\n", "203.0.113.9"},
};

TEST(Serve, ProxyTable) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.trusted_proxies = {"127.0.0.1"};
  options.rate_limit = 1;
  options.rate_burst = 1;
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  for (std::size_t i = 0; i < std::size(kProxies); ++i) {
    const ProxyCase& c = kProxies[i];
    const Reply reply = Fetch(server.http(), Post("account=p&accountType=0", c.headers), c.from);
    // Each client has its own bucket of one: a 503 here means the limit
    // counted the wrong address.
    ASSERT_EQ(reply.status, 200) << c.name;
    ASSERT_EQ(script->Inputs().size(), i + 1) << c.name;
    EXPECT_EQ(script->Inputs().back().peer, c.client) << c.name;
    ASSERT_TRUE(WaitFor([&] { return script->Logged().size() == i + 1; })) << c.name;
    EXPECT_EQ(script->Logged().back().peer, c.client) << c.name;
  }
}

TEST(Serve, FullQueueIsAnEmpty503) {
  auto script = std::make_shared<Script>();
  ServeOptions options = TestOptions();
  options.db_threads = 1;
  options.queue_limit = 1;
  RunningServer server(options, script);
  ASSERT_TRUE(server.started()) << server.error();
  RawClient first(server.http()), second(server.http());
  ASSERT_TRUE(first.Send(Post("account=slow1&accountType=0")));
  ASSERT_TRUE(WaitFor([&] { return script->slow_waiting() == 1; })) << "the thread is busy";
  ASSERT_TRUE(second.Send(Post("account=slow2&accountType=0")));
  ASSERT_TRUE(WaitFor([&] { return server.server().Snapshot().queue_depth == 1; }));
  const Reply full = Fetch(server.http(), Post("account=3&accountType=0"));
  EXPECT_EQ(full.status, 503);
  EXPECT_EQ(full.body, "");
  EXPECT_EQ(Header(full, "content-length"), "0");
  script->Release();
  EXPECT_EQ(first.Read().status, 200);
  EXPECT_EQ(second.Read().status, 200);
  EXPECT_EQ(server.server().Snapshot().unavailable[static_cast<int>(Unavailable::kQueueFull)], 1u);
}

struct MetricsCase {
  const char* name;
  std::string request;
  int status;
  const char* body_has;  // nullptr: empty body
};

TEST(Serve, MetricsTable) {
  auto script = std::make_shared<Script>();
  RunningServer server(TestOptions(), script, false, true);
  ASSERT_TRUE(server.started()) << server.error();
  ASSERT_EQ(Fetch(server.http(), Post("account=1&accountType=0")).status, 200);
  ASSERT_TRUE(WaitFor([&] { return script->Logged().size() == 1; }));
  const MetricsCase before[] = {
      {"metrics", "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n", 200,
       "parambridge_fetches_total{status=\"100\"} 1\n"},
      {"metrics with a query", "GET /metrics?x=1 HTTP/1.1\r\nHost: x\r\n\r\n", 200,
       "parambridge_log_rows_written_total 1\n"},
      {"health", "GET /health HTTP/1.1\r\nHost: x\r\n\r\n", 200, "ok"},
      {"unknown path", "GET /nope HTTP/1.1\r\nHost: x\r\n\r\n", 404, nullptr},
      {"not a GET", "POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n\r\n", 405, nullptr},
  };
  for (const MetricsCase& c : before) {
    const Reply reply = Fetch(server.metrics(), c.request);
    ASSERT_TRUE(reply.complete) << c.name;
    EXPECT_EQ(reply.status, c.status) << c.name;
    if (c.body_has) {
      EXPECT_NE(reply.body.find(c.body_has), std::string::npos) << c.name << "\n" << reply.body;
    } else {
      EXPECT_EQ(reply.body, "") << c.name;
    }
  }
  ASSERT_EQ(Fetch(server.http(), Post("account=down&accountType=0")).status, 503);
  const Reply health = Fetch(server.metrics(), "GET /health HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(health.status, 503) << "the database's last call failed";
  EXPECT_EQ(health.body, "");
  ASSERT_EQ(Fetch(server.http(), Post("account=2&accountType=0")).status, 200);
  EXPECT_EQ(Fetch(server.metrics(), "GET /health HTTP/1.1\r\nHost: x\r\n\r\n").status, 200);
}

// A stop lets the request in progress finish and its row reach the log,
// closes idle connections and accepts no new one.
TEST(Serve, StopDrainsAndFlushes) {
  auto script = std::make_shared<Script>();
  RunningServer server(TestOptions(), script);
  ASSERT_TRUE(server.started()) << server.error();
  const auto endpoint = server.http();
  RawClient busy(endpoint), idle(endpoint);
  ASSERT_TRUE(busy.Send(Post("account=slow&accountType=0")));
  ASSERT_TRUE(WaitFor([&] { return script->slow_waiting() == 1; }));
  ASSERT_TRUE(WaitFor([&] { return server.server().Snapshot().open_connections == 2; }));
  std::thread stopper([&] { server.Stop(); });
  EXPECT_TRUE(idle.WaitClosed()) << "an idle connection is closed by the stop";
  EXPECT_TRUE(WaitFor([&] { return !RawClient(endpoint).connected(); })) << "no new connections";
  script->Release();
  const Reply reply = busy.Read();
  EXPECT_EQ(reply.status, 200) << "the request in progress is answered";
  EXPECT_TRUE(reply.closed_after) << "and its connection closed";
  stopper.join();
  const auto logged = script->Logged();
  ASSERT_EQ(logged.size(), 1u) << "its row is in the log when the stop returns";
  EXPECT_EQ(logged[0].account, "slow");
  EXPECT_EQ(logged[0].product, "pb");
  EXPECT_EQ(logged[0].status, 100);
}

}  // namespace
}  // namespace pbs
