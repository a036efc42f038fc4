// What a database thread makes of one fetch: the service's answer, or the
// reason for an empty 503. Runs on a database thread only.
#pragma once

#include <chrono>
#include <optional>

#include "server/net/metrics.h"
#include "server/net/serve.h"

namespace pbs {

struct FetchOutcome {
  std::optional<Unavailable> unavailable;  // set: an empty 503, `answer` unused
  FetchAnswer answer;
};

// A fetch that `waited` in the queue beyond `wait_limit` is not asked (its
// client may have given up; the database is behind). DatabaseUnavailable,
// and any other exception of the service, become an empty 503 and mark the
// database down in `metrics`; an answer marks it up. Never throws.
FetchOutcome DecideFetch(FetchService& service, const FetchInput& input,
                         std::chrono::steady_clock::duration waited,
                         std::chrono::milliseconds wait_limit, Metrics& metrics) noexcept;

}  // namespace pbs
