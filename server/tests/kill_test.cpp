// A command killed with SIGKILL at any moment of its write loses no write
// that an earlier command reported done, and leaves a database that passes
// SQLite's integrity check.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <set>
#include <string>

#include "run_binary.h"
#include "temp_dir.h"

namespace {

TEST(KillDuringWrites, NoWriteReportedDoneIsLost) {
  pbstest::TempDir dir;
  const std::string db = dir.File("server.db");
  const std::string folder = dir.File("");
  ASSERT_EQ(pbstest::Run({"--db", db, "init"}, folder).status, 0);
  ASSERT_EQ(pbstest::Run({"--db", db, "product", "add", "pb", "--base-path", "/pb/"}, folder).status, 0);
  ASSERT_EQ(pbstest::Run({"--db", db, "set", "put", "pb", "gold", "a=1"}, folder).status, 0);

  // Each command is killed after a different amount of its own work (the
  // parent spins a growing number of rounds before SIGKILL), so the kills
  // land before, during and after its transaction. Whatever their moment,
  // every command that exited 0 must have left its license.
  std::set<std::string> done;
  int killed = 0;
  for (int i = 0; i < 60; ++i) {
    const std::string id = "L" + std::to_string(i);
    const pid_t pid = pbstest::Start({"--db", db, "license", "add", "pb", id, "--set", "gold", "--accounts",
                                      std::to_string(1000 + i)},
                                     folder + "out", folder + "err");
    ASSERT_GT(pid, 0);
    if (i % 3 != 2) {
      // Spin i * 40000 rounds of getppid(): a kill point that moves through
      // the command's life without measuring any time.
      for (int k = 0; k < i * 40000; ++k) (void)getppid();
      kill(pid, SIGKILL);
    }
    const pbstest::Outcome o = pbstest::Collect(pid, folder + "out", folder + "err");
    if (o.status == 0) done.insert(id);
    if (o.status == -1) ++killed;
  }
  EXPECT_FALSE(done.empty());
  std::cout << done.size() << " writes reported done, " << killed << " commands killed\n";

  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  sqlite3_prepare_v2(raw, "PRAGMA integrity_check", -1, &check, nullptr);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  std::set<std::string> stored;
  sqlite3_stmt* ids = nullptr;
  sqlite3_prepare_v2(raw, "SELECT license_id FROM licenses", -1, &ids, nullptr);
  while (sqlite3_step(ids) == SQLITE_ROW) stored.insert(reinterpret_cast<const char*>(sqlite3_column_text(ids, 0)));
  sqlite3_finalize(ids);
  sqlite3_close(raw);
  for (const std::string& id : done) EXPECT_EQ(stored.count(id), 1u) << id << " was reported done";
  // And the database still takes commands.
  EXPECT_EQ(pbstest::Run({"--db", db, "license", "add", "pb", "after", "--set", "gold"}, folder).status, 0);
}

}  // namespace
