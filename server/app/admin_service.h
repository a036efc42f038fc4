// The boundary between the admin listener (server/net/) and the admin API's
// logic (server/admin/). The network layer reads the request within its
// limits and hands it over on a database thread; the logic decides the
// whole answer (status, headers, body). Neither knows the other's insides.
#pragma once

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace pbs {

struct AdminInput {
  std::string method;   // as sent, e.g. "GET"
  std::string target;   // the request target, path and query, as sent
  // The request's headers, names in lower case, in the order sent.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;     // at most the admin body cap
  std::string peer;     // the client's address (the socket's peer)
  bool https = false;
  std::chrono::system_clock::time_point received;
};

struct AdminAnswer {
  int http_status = 200;
  std::string content_type = "application/json";
  std::vector<std::pair<std::string, std::string>> headers;   // besides Content-Type and Content-Length
  std::string body;
};

// Answers the admin listener's requests. Every call may block (the database,
// a password's hash): called only from the database threads. Must not throw
// (a failure is an answer, e.g. 503 unavailable).
class AdminService {
 public:
  virtual ~AdminService() = default;
  virtual AdminAnswer Answer(const AdminInput& in) = 0;
};

}  // namespace pbs
