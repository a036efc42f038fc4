// Commands killed with SIGKILL at any moment of their writes lose no write
// that a command reported done, and leave a database that passes SQLite's
// integrity check.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "run_binary.h"
#include "temp_dir.h"

namespace {

std::set<std::string> Lines(const std::string& path) {
  std::set<std::string> lines;
  std::istringstream in(pbstest::Slurp(path));
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// Starts `script` under sh in a process group of its own; returns its pid.
pid_t StartGroup(const std::string& script) {
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  std::string sh = "/bin/sh", c = "-c", body = script;
  char* argv[] = {sh.data(), c.data(), body.data(), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/bin/sh", nullptr, &attr, argv, environ) != 0) pid = -1;
  posix_spawnattr_destroy(&attr);
  return pid;
}

TEST(KillDuringWrites, NoWriteReportedDoneIsLost) {
  pbstest::TempDir dir;
  const std::string db = dir.File("server.db");
  const std::string folder = dir.File("");
  const std::string done = dir.File("done");
  ASSERT_EQ(pbstest::Run({"--db", db, "init"}, folder).status, 0);
  ASSERT_EQ(pbstest::Run({"--db", db, "product", "add", "pb", "--base-path", "/pb/"}, folder).status, 0);
  ASSERT_EQ(pbstest::Run({"--db", db, "set", "put", "pb", "gold", "a=1"}, folder).status, 0);

  // Each round: a loop of writes (a license added, then changed twice),
  // each recorded once its command exited 0; once the round's share is
  // recorded the whole loop is killed, whatever its command is doing then.
  int next = 0;
  for (int round = 0; round < 6; ++round) {
    const std::string script =
        "i=" + std::to_string(next) + "; while [ $i -lt " + std::to_string(next + 1000) + " ]; do " +
        "\"" PBS_SERVER_BIN "\" --db '" + db + "' license add pb L$i --set gold --accounts $i " +
        ">/dev/null 2>&1 && echo L$i >> '" + done + "' && " +
        "\"" PBS_SERVER_BIN "\" --db '" + db + "' license update pb L$i --override b=$i --note n$i " +
        ">/dev/null 2>&1 && echo N$i >> '" + done + "' && " +
        "\"" PBS_SERVER_BIN "\" --db '" + db + "' set put pb s$i x=$i >/dev/null 2>&1 && echo S$i >> '" + done +
        "'; i=$((i+1)); done";
    const std::size_t before = Lines(done).size();
    const pid_t pid = StartGroup(script);
    ASSERT_GT(pid, 0);
    // Waits for progress (a condition, not a time): 2 + round more writes.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (Lines(done).size() < before + 2 + static_cast<std::size_t>(round) &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(-pid, SIGKILL);
    int ignored;
    waitpid(pid, &ignored, 0);
    next += 1000;
  }
  const std::set<std::string> reported = Lines(done);
  ASSERT_GE(reported.size(), 6u * 2);

  sqlite3* raw = nullptr;
  ASSERT_EQ(sqlite3_open_v2(db.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  auto strings = [&](const char* sql) {
    std::set<std::string> out;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw, sql, -1, &s, nullptr);
    while (sqlite3_step(s) == SQLITE_ROW) out.insert(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
    return out;
  };
  EXPECT_EQ(strings("PRAGMA integrity_check"), std::set<std::string>{"ok"});
  const std::set<std::string> licenses = strings("SELECT license_id FROM licenses");
  const std::set<std::string> notes = strings("SELECT note FROM licenses");
  const std::set<std::string> sets = strings("SELECT name FROM sets");
  // L<i>: license L<i>; N<i>: its note n<i>; S<i>: set s<i>.
  const std::map<char, std::pair<const std::set<std::string>*, std::string>> stored = {
      {'L', {&licenses, "L"}}, {'N', {&notes, "n"}}, {'S', {&sets, "s"}}};
  for (const std::string& write : reported) {
    const auto& [where, prefix] = stored.at(write[0]);
    EXPECT_EQ(where->count(prefix + write.substr(1)), 1u) << write << " was reported done";
  }
  sqlite3_close(raw);
  // And the database still takes commands.
  EXPECT_EQ(pbstest::Run({"--db", db, "license", "add", "pb", "after", "--set", "gold"}, folder).status, 0);
}

}  // namespace
