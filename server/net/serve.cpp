// RunServe: the Server with the process around it (signals, the open-files
// limit, the ready file, the lines on stderr).
#include "server/net/serve.h"

#include <algorithm>
#include <csignal>
#include <string>
#include <thread>

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio/signal_set.hpp>

#include "server/net/endpoint_text.h"
#include "server/net/notice.h"
#include "server/net/ready_file.h"
#include "server/net/server.h"

namespace pbs {
namespace {

// Descriptors kept for what is not a fetch connection: listeners, the
// database's files, the metrics connections.
constexpr rlim_t kSpareDescriptors = 64;

// Raises the soft open-files limit to the hard one and lowers max_connections
// to fit within it, so that the cap is met before the kernel's limit is.
void FitOpenFilesLimit(ServeOptions& options) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return;
  const rlim_t room = limit.rlim_cur > kSpareDescriptors ? limit.rlim_cur - kSpareDescriptors : 1;
  if (options.max_connections > room) {
    PrintLine("at most " + std::to_string(room) + " connections (open-files limit " +
              std::to_string(limit.rlim_cur) + "), not " + std::to_string(options.max_connections));
    options.max_connections = static_cast<std::size_t>(room);
  }
}

// glibc gives each thread that allocates its own arena (up to eight a core);
// the connections' memory, freed on one thread and wanted on another, would
// stay spread over all of them. One arena a network thread is enough.
void LimitMallocArenas(const ServeOptions& options) {
  const unsigned threads = NetThreads(options.net_threads, std::thread::hardware_concurrency());
  ::mallopt(M_ARENA_MAX, static_cast<int>(std::max(threads, 2u)));
}

void Listen(boost::asio::signal_set& signals, Server& server) {
  signals.async_wait([&signals, &server](boost::system::error_code ec, int number) {
    if (ec) return;
    if (number == SIGHUP) {
      std::string message;
      server.ReloadTls(message);
      PrintLine(message);
    } else {
      PrintLine(std::string("stopping (") + (number == SIGTERM ? "SIGTERM" : "SIGINT") +
                "): finishing the requests in progress");
      server.RequestStop();
    }
    Listen(signals, server);
  });
}

}  // namespace

int RunServe(const ServeOptions& given, FetchServiceFactory make_service) {
  ServeOptions options = given;
  ListenPlan plan;
  std::string error;
  if (!PlanListeners(options, plan, error)) {
    PrintLine(error);
    return 2;
  }
  FitOpenFilesLimit(options);
  LimitMallocArenas(options);
  Server server(options, std::move(make_service));
  if (!server.Start(plan, error)) {
    PrintLine(error);
    return 2;
  }
  boost::asio::signal_set signals(server.io(), SIGTERM, SIGINT, SIGHUP);
  Listen(signals, server);

  std::string listening;
  ReadyInfo ready;
  ready.pid = static_cast<long>(::getpid());
  ready.http = server.http_endpoint();
  ready.https = server.https_endpoint();
  ready.metrics = server.metrics_endpoint();
  ready.admin = server.admin_endpoint();
  ready.pin = server.pin();
  if (ready.http) listening += " http on " + EndpointText(*ready.http);
  if (ready.https) listening += " https on " + EndpointText(*ready.https);
  if (ready.metrics) listening += " metrics on " + EndpointText(*ready.metrics);
  if (ready.admin) listening += std::string(" admin (") + (options.admin_cert_file.empty() ? "http" : "https") +
                                ") on " + EndpointText(*ready.admin);
  PrintLine("serving:" + listening);
  if (!ready.pin.empty()) PrintLine("https key pin (for PRODUCT_SERVER_PINS): " + ready.pin);
  if (!options.ready_file.empty() &&
      !WriteFileAtomically(options.ready_file, FormatReady(ready), error)) {
    PrintLine(error);
    server.RequestStop();
    server.Run();
    return 2;
  }

  server.Run();
  const MetricsSnapshot done = server.Snapshot();
  PrintLine("stopped; fetch log: " + std::to_string(done.log_rows_written) + " rows written, " +
            std::to_string(done.log_rows_dropped) + " dropped");
  if (!options.ready_file.empty()) ::unlink(options.ready_file.c_str());
  return 0;
}

}  // namespace pbs
