// What a database thread makes of a fetch: the answer, or an empty 503 with
// its reason, and the database's health as the metrics show it.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "server/net/fetch_outcome.h"
#include "server/net/tests/net_test_support.h"

namespace pbs {
namespace {

using std::chrono::milliseconds;

struct OutcomeCase {
  const char* name;
  const char* account;  // the scripted service's behaviour
  milliseconds waited;
  std::optional<Unavailable> unavailable;
  bool asked;
  bool database_up_after;  // starting from down
};

const OutcomeCase kCases[] = {
    {"answered", "1", milliseconds(0), std::nullopt, true, true},
    {"waited as long as the limit: still answered", "1", milliseconds(100), std::nullopt, true,
     true},
    {"waited beyond the limit: not asked", "1", milliseconds(101), Unavailable::kQueueWait, false,
     false},
    {"database unavailable", "down", milliseconds(0), Unavailable::kDatabase, true, false},
    {"another exception", "boom", milliseconds(0), Unavailable::kDatabase, true, false},
};

TEST(FetchOutcome, Table) {
  for (const OutcomeCase& c : kCases) {
    auto script = std::make_shared<test::Script>();
    test::FakeService service(script);
    Metrics metrics;
    metrics.database_up = false;
    FetchInput input;
    input.method = "POST";
    input.body = std::string("account=") + c.account + "&accountType=0";
    const FetchOutcome outcome = DecideFetch(service, input, c.waited, milliseconds(100), metrics);
    EXPECT_EQ(outcome.unavailable, c.unavailable) << c.name;
    EXPECT_EQ(script->Inputs().size(), c.asked ? 1u : 0u) << c.name;
    EXPECT_EQ(metrics.database_up.load(), c.database_up_after) << c.name;
    if (!c.unavailable) {
      EXPECT_EQ(outcome.answer.status, 100) << c.name;
      EXPECT_EQ(outcome.answer.body, test::kSuccessBody) << c.name;
    }
  }
}

}  // namespace
}  // namespace pbs
