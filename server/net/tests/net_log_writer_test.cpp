// The fetch log writer: what is written, what is dropped and counted, and
// what the database is told about the drops. Rows are queued before the
// writer starts, so that which rows find room never depends on timing.
#include <gtest/gtest.h>

#include <string>

#include "server/net/log_writer.h"
#include "server/net/tests/net_test_support.h"

namespace pbs {
namespace {

struct LogCase {
  const char* name;
  std::size_t queue_limit;
  int rows;               // pushed before the writer starts
  int failures;           // WriteLog (and NoteDroppedRows) throw this many times
  uint64_t written;
  uint64_t dropped;
  uint64_t noted;         // the drops told to the database
};

const LogCase kCases[] = {
    {"every row fits", 10, 5, 0, 5, 0, 0},
    {"rows beyond the queue's room are dropped and told", 3, 5, 0, 3, 2, 2},
    {"a refused batch is tried again", 10, 4, 1, 4, 0, 0},
    {"drops are told once the database takes writes again", 2, 4, 1, 2, 2, 2},
    {"a database that refuses every try loses the batch", 10, 4, 1000, 0, 4, 0},
    {"an empty queue writes nothing", 10, 0, 0, 0, 0, 0},
};

LogWriter::Tuning Quick() {
  LogWriter::Tuning tuning;
  tuning.gather = std::chrono::milliseconds(1);
  tuning.retries = {std::chrono::milliseconds(1), std::chrono::milliseconds(1)};
  return tuning;
}

TEST(LogWriter, Table) {
  for (const LogCase& c : kCases) {
    auto script = std::make_shared<test::Script>();
    script->log_failures_left = c.failures;
    Metrics metrics;
    LogWriter writer(c.queue_limit, metrics, Quick());
    for (int i = 0; i < c.rows; ++i) {
      FetchLogRow row;
      row.account = "a" + std::to_string(i);
      row.status = 100;
      writer.Push(row);
    }
    std::string error;
    ASSERT_TRUE(writer.Start(test::FakeFactory(script), error)) << c.name << ": " << error;
    writer.Stop();
    const MetricsSnapshot s = metrics.Snapshot();
    EXPECT_EQ(s.log_rows_written, c.written) << c.name;
    EXPECT_EQ(s.log_rows_dropped, c.dropped) << c.name;
    EXPECT_EQ(s.log_queue_depth, 0) << c.name;
    const std::vector<FetchLogRow> logged = script->Logged();
    ASSERT_EQ(logged.size(), c.written) << c.name;
    for (std::size_t i = 0; i < logged.size(); ++i) {
      EXPECT_EQ(logged[i].account, "a" + std::to_string(i)) << c.name << ": rows keep their order";
    }
    EXPECT_EQ(script->dropped_noted, c.noted) << c.name;
  }
}

struct AccountCase {
  std::size_t sent;
  std::size_t kept;
};

TEST(LogWriter, AccountIsCutTo256Bytes) {
  const AccountCase cases[] = {{0, 0}, {255, 255}, {256, 256}, {257, 256}, {4000, 256}};
  for (const AccountCase& c : cases) {
    auto script = std::make_shared<test::Script>();
    Metrics metrics;
    LogWriter writer(10, metrics, Quick());
    FetchLogRow row;
    row.account.assign(c.sent, 'x');
    writer.Push(row);
    std::string error;
    ASSERT_TRUE(writer.Start(test::FakeFactory(script), error)) << error;
    writer.Stop();
    ASSERT_EQ(script->Logged().size(), 1u);
    EXPECT_EQ(script->Logged()[0].account.size(), c.kept) << c.sent;
  }
}

TEST(LogWriter, RowsAfterStopAreCountedAsDropped) {
  auto script = std::make_shared<test::Script>();
  Metrics metrics;
  LogWriter writer(10, metrics, Quick());
  std::string error;
  ASSERT_TRUE(writer.Start(test::FakeFactory(script), error)) << error;
  writer.Stop();
  writer.Push(FetchLogRow{});
  EXPECT_EQ(metrics.Snapshot().log_rows_dropped, 1u);
  EXPECT_TRUE(script->Logged().empty());
}

struct FactoryCase {
  const char* name;
  FetchServiceFactory factory;
  const char* error;
};

TEST(LogWriter, FactoryFailureTable) {
  const FactoryCase cases[] = {
      {"throws", [] () -> std::unique_ptr<FetchService> { throw std::runtime_error("no such file"); },
       "no such file"},
      {"returns null", [] { return std::unique_ptr<FetchService>(); },
       "the database could not be opened"},
  };
  for (const FactoryCase& c : cases) {
    Metrics metrics;
    LogWriter writer(10, metrics, Quick());
    std::string error;
    EXPECT_FALSE(writer.Start(c.factory, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    DbPool pool(10, metrics);
    error.clear();
    EXPECT_FALSE(pool.Start(3, c.factory, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
    EXPECT_FALSE(pool.TrySubmit([](FetchService&) {})) << c.name << ": a failed pool takes no job";
  }
}

}  // namespace
}  // namespace pbs
