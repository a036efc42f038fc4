#include "server/net/fetch_outcome.h"

#include <exception>
#include <string>

#include "server/net/notice.h"

namespace pbs {

FetchOutcome DecideFetch(FetchService& service, const FetchInput& input,
                         std::chrono::steady_clock::duration waited,
                         std::chrono::milliseconds wait_limit, Metrics& metrics) noexcept {
  static Notice down(std::chrono::seconds(10));
  FetchOutcome outcome;
  if (waited > wait_limit) {
    outcome.unavailable = Unavailable::kQueueWait;
    return outcome;
  }
  try {
    outcome.answer = service.Answer(input);
    metrics.database_up.store(true);
    return outcome;
  } catch (const DatabaseUnavailable& e) {
    down.Say(std::string("fetch: the database is unavailable: ") + e.what());
  } catch (const std::exception& e) {
    down.Say(std::string("fetch: ") + e.what());
  } catch (...) {
    down.Say("fetch: an unknown exception");
  }
  metrics.database_up.store(false);
  outcome = FetchOutcome{};
  outcome.unavailable = Unavailable::kDatabase;
  return outcome;
}

}  // namespace pbs
