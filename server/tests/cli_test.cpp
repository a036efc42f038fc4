// The built binary's command line, each row a command run in order on one
// database (an SQLite file, or a fresh PostgreSQL database: the tables run
// on both engines): its exit status (0 done, 1 refused by a rule, 2 a bad
// command line or not our database) and a piece of what it printed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_binary.h"
#include "server/cli/output.h"
#include "server/db/schema.h"
#include "scratch_database.h"
#include "temp_dir.h"

namespace {

struct CliRow {
  std::vector<std::string> args;   // "{db}", "{dir}" replaced
  int status;
  const char* shows;               // in stdout (status 0) or stderr; "" for anything
};

std::vector<std::string> Expand(const std::vector<std::string>& args, const std::string& db, const std::string& dir) {
  std::vector<std::string> out;
  for (std::string a : args) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{db}", db}, {"{dir}", dir}}) {
      for (std::size_t at = a.find(key); at != std::string::npos; at = a.find(key)) a.replace(at, key.size(), value);
    }
    out.push_back(a);
  }
  return out;
}

void RunTable(const std::vector<CliRow>& rows, const pbstest::TempDir& dir, const std::string& db) {
  const std::string folder = dir.File("");
  for (const CliRow& row : rows) {
    const std::vector<std::string> args = Expand(row.args, db, folder);
    std::string line;
    for (const auto& a : args) line += a + " ";
    const pbstest::Outcome o = pbstest::Run(args, folder);
    EXPECT_EQ(o.status, row.status) << line << "\nstdout: " << o.out << "stderr: " << o.err;
    const std::string& shown = row.status == 0 ? o.out : o.err;
    EXPECT_NE(shown.find(row.shows), std::string::npos) << line << "\nshows: " << shown;
    if (row.status != 0) {
      // One line saying why.
      EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << line << "\n" << o.err;
    }
  }
}

// The command line over one engine's fresh database.
class CommandLine : public ::testing::TestWithParam<pbstest::Engine> {
 protected:
  void SetUp() override { PBS_REQUIRE_DATABASE(scratch_); }
  bool Sqlite() const { return GetParam() == pbstest::Engine::kSqlite; }
  // Rows for one engine only; none for the other.
  std::vector<CliRow> Only(pbstest::Engine engine, std::vector<CliRow> rows) const {
    return engine == GetParam() ? rows : std::vector<CliRow>{};
  }

  pbstest::ScratchDatabase scratch_{GetParam()};
  const pbstest::TempDir& dir = scratch_.Dir();
  const std::string& db_ = scratch_.Location();
};

std::vector<CliRow> operator+(std::vector<CliRow> a, const std::vector<CliRow>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST_P(CommandLine, EveryCommandFormAndItsExitStatus) {
  using pbstest::Engine;
  {
    std::ofstream(dir.File("not-a-db.txt")) << std::string(4096, 'x');
    std::ofstream(dir.File("licenses.csv")) << "id,accounts,set,types,expires\n"
                                               "csv-1,\"501,502\",gold,\"0,1\",2030-12-31\n";
    std::ofstream(dir.File("bad.csv")) << "id,accounts\n";
    std::ofstream(dir.File("star.json")) << R"({"accounts": {"*": {"*": {"func101": 1}}}})";
    std::ofstream(dir.File("good.pw")) << "correct horse battery\n";
    std::ofstream(dir.File("short.pw")) << "short\n";
    std::ofstream(dir.File("empty.pw")) << "\n";
  }
  const std::string params = PBS_SOURCE_DIR "/server/params.json";
  const std::vector<CliRow> rows = Only(Engine::kSqlite, {
      // Before init.
      {{"--db", "{db}", "product", "list"}, 2, "no database at"},
      {{"--db", "{dir}not-a-db.txt", "init"}, 2, "not a parambridge-server database"},
      {{"--db", "{dir}not-a-db.txt", "license", "list", "pb"}, 2, "not a parambridge-server database"},
  }) + Only(Engine::kPostgres, {
      {{"--db", "{db}", "product", "list"}, 2, "is not initialised"},
      {{"--db", "postgresql://pbs@127.0.0.1:1/pbs?connect_timeout=2", "init"}, 3, "cannot connect"},
      {{"--db", "postgres://[::1", "product", "list"}, 2, "not a PostgreSQL URL"},
  }) + std::vector<CliRow>{
      {{"--db", "{db}", "init"}, 0, "is ready"},
      {{"--db", "{db}", "init"}, 0, "is ready"},
      // Bad command lines.
      {{}, 2, ""},
      {{"--db", "{db}"}, 2, ""},
      {{"--db", "{db}", "frobnicate"}, 2, ""},
      {{"product", "list"}, 2, "--db FILE is required"},
      {{"--db", "{db}", "product", "add", "pb"}, 2, "--base-path"},
      {{"--db", "{db}", "product", "add", "pb", "--base-path", "/pb/", "extra"}, 2, ""},
      {{"--db", "{db}", "license", "add", "pb", "L1"}, 2, "--set"},
      {{"--db", "{db}", "serve", "--http-port", "70000"}, 2, ""},
      {{"--db", "{db}", "serve", "--cert", "x.pem"}, 2, "--key"},
      {{"pin"}, 2, "--cert"},
      // Products.
      {{"--db", "{db}", "product", "add", "pb", "--base-path", "/pb/"}, 0, "/pb/run/"},
      {{"--db", "{db}", "product", "add", "pb", "--base-path", "/other/"}, 1, "exists already"},
      {{"--db", "{db}", "product", "add", "pb2", "--base-path", "/pb/"}, 1, "is taken by product pb"},
      {{"--db", "{db}", "product", "add", "pb2", "--base-path", "pb"}, 1, "must begin and end with '/'"},
      {{"--db", "{db}", "product", "add", "p b", "--base-path", "/pb2/"}, 1, "product name"},
      {{"--db", "{db}", "product", "text", "pb", "205", "Refunded: write to support@example.com"}, 0, "Refunded"},
      {{"--db", "{db}", "product", "text", "pb", "203", "Ended on {date}"}, 0, "{date}"},
      {{"--db", "{db}", "product", "text", "pb", "204", "a=b"}, 1, "cannot carry"},
      {{"--db", "{db}", "product", "text", "pb", "100", "Yes"}, 1, "only 201 to 205"},
      {{"--db", "{db}", "product", "text", "pb", "two", "x"}, 2, ""},
      {{"--db", "{db}", "product", "text", "nope", "201", "x"}, 1, "no product nope"},
      // Sets.
      {{"--db", "{db}", "set", "put", "pb", "gold", "func101=1.5", "func102=0.00025", "lotStep=0.01"}, 0, "3 parameters"},
      {{"--db", "{db}", "set", "put", "pb", "trial", "func101=0.1"}, 0, "1 parameters"},
      {{"--db", "{db}", "set", "put", "pb", "bad", "func101="}, 1, "empty"},
      {{"--db", "{db}", "set", "put", "pb", "bad", "a=1&b=2"}, 1, "cannot carry"},
      {{"--db", "{db}", "set", "put", "pb", "bad", "error=100"}, 1, "server's own"},
      {{"--db", "{db}", "set", "put", "pb", "bad", "a=1", "a=2"}, 1, "given twice"},
      {{"--db", "{db}", "set", "put", "pb", "bad", "novalue"}, 2, "is not name=value"},
      {{"--db", "{db}", "set", "put", "nope", "gold", "a=1"}, 1, "no product nope"},
      {{"--db", "{db}", "set", "show", "pb", "gold"}, 0, "func102=0.00025\n"},
      {{"--db", "{db}", "set", "show", "pb", "silver"}, 1, "has no set silver"},
      {{"--db", "{db}", "set", "list", "pb", "--json"}, 0, "\"set\": \"gold\""},
      // Trials.
      {{"--db", "{db}", "product", "trial", "pb", "--days", "7", "--set", "trial", "--per-hour", "5"}, 0, "7-day trial"},
      {{"--db", "{db}", "product", "trial", "pb", "--days", "7"}, 2, "--set SET is required"},
      {{"--db", "{db}", "product", "trial", "pb", "--days", "7", "--set", "silver"}, 1, "has no set silver"},
      {{"--db", "{db}", "product", "trial", "pb", "--days", "0"}, 0, "no trials"},
      {{"--db", "{db}", "product", "show", "pb", "--json"}, 0, "\"205\": \"Refunded: write to support@example.com\""},
      // Licenses.
      {{"--db", "{db}", "license", "add", "pb", "L1", "--set", "gold", "--accounts", "100,200", "--max-accounts", "2",
        "--types", "0,1", "--expires", "2030-01-31", "--note", "order 1"}, 0, "license L1 added"},
      {{"--db", "{db}", "license", "add", "pb", "L1", "--set", "gold"}, 1, "already"},
      {{"--db", "{db}", "license", "add", "pb", "L2", "--set", "silver"}, 1, "has no set silver"},
      {{"--db", "{db}", "license", "add", "pb", "L2", "--set", "gold", "--accounts", "1,2,3", "--max-accounts", "2"}, 1,
       "more than its --max-accounts 2"},
      {{"--db", "{db}", "license", "add", "pb", "L2", "--set", "gold", "--accounts", "100"}, 1, "already on license L1"},
      {{"--db", "{db}", "license", "add", "pb", "L2", "--set", "gold", "--accounts", "100", "--types", "2"}, 0, "added"},
      {{"--db", "{db}", "license", "add", "pb", "L3", "--set", "gold", "--expires", "2030-02-30"}, 2, "YYYY-MM-DD"},
      {{"--db", "{db}", "license", "add", "pb", "L3", "--set", "gold", "--types", "x"}, 2, "--types"},
      {{"--db", "{db}", "license", "add", "pb", "L3", "--set", "gold", "--accounts", "1,,2"}, 1, "must not be empty"},
      {{"--db", "{db}", "license", "add", "nope", "L3", "--set", "gold"}, 1, "no product nope"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--add-accounts", "300"}, 1, "more than its --max-accounts 2"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--remove-accounts", "200", "--add-accounts", "300",
        "--override", "func102=0.5", "--override", "extra=1", "--types", "all", "--note", "moved"}, 1, "already on license L2"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--remove-accounts", "200", "--add-accounts", "300",
        "--override", "func102=0.5", "--override", "extra=1", "--note", "moved"}, 0, "updated"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--clear-override", "extra"}, 0, "updated"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--clear-override", "extra"}, 1, "no override of extra"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--override", "func101=1&2"}, 1, "cannot carry"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--remove-accounts", "999"}, 1, "not on license L1"},
      {{"--db", "{db}", "license", "update", "pb", "L1", "--set", "silver"}, 1, "has no set silver"},
      {{"--db", "{db}", "license", "update", "pb", "L9", "--note", "x"}, 1, "has no license L9"},
      {{"--db", "{db}", "license", "show", "pb", "L1"}, 0, "accounts:     100,300 (at most 2)"},
      {{"--db", "{db}", "license", "show", "pb", "L1", "--json"}, 0, "\"overrides\": {\n    \"func102\": \"0.5\"\n  }"},
      {{"--db", "{db}", "license", "extend", "pb", "L1", "--expires", "never"}, 0, "expires never"},
      {{"--db", "{db}", "license", "extend", "pb", "L1", "--expires", "2031-01-01"}, 0, "expires 2031-01-01"},
      {{"--db", "{db}", "license", "extend", "pb", "L1", "--expires", "soon"}, 2, "YYYY-MM-DD or never"},
      {{"--db", "{db}", "license", "suspend", "pb", "L1"}, 0, "is suspended"},
      {{"--db", "{db}", "license", "resume", "pb", "L1"}, 0, "is active"},
      {{"--db", "{db}", "license", "revoke", "pb", "L2"}, 0, "is revoked"},
      {{"--db", "{db}", "license", "resume", "pb", "L2"}, 1, "revoked, which is final"},
      {{"--db", "{db}", "license", "suspend", "pb", "L2"}, 1, "final"},
      {{"--db", "{db}", "license", "extend", "pb", "L2", "--expires", "never"}, 1, "final"},
      {{"--db", "{db}", "license", "update", "pb", "L2", "--note", "refunded"}, 0, "updated"},
      {{"--db", "{db}", "license", "list", "pb"}, 0, "L2\trevoked"},
      {{"--db", "{db}", "license", "list", "pb", "--json"}, 0, "\"state\": \"revoked\""},
      {{"--db", "{db}", "license", "list", "pb", "--account", "300"}, 0, "L1\tactive"},
      {{"--db", "{db}", "license", "show", "pb"}, 2, "ID"},
      // Imports.
      {{"--db", "{db}", "import", "pb", params}, 0, "imported 1 licenses and 1 sets"},
      {{"--db", "{db}", "import", "pb", params}, 1, "license 12345 already"},
      {{"--db", "{db}", "import", "pb", "{dir}star.json"}, 1, "\"*\" account"},
      {{"--db", "{db}", "import", "pb", "{dir}licenses.csv"}, 0, "imported 1 licenses and 0 sets"},
      {{"--db", "{db}", "import", "pb", "{dir}bad.csv"}, 1, "\"set\" is missing"},
      {{"--db", "{db}", "import", "pb", "{dir}missing.csv"}, 1, "cannot read"},
      {{"--db", "{db}", "license", "show", "pb", "12345", "--json"}, 0, "\"set\": \"imported-1\""},
      {{"--db", "{db}", "license", "show", "pb", "csv-1"}, 0, "expires:      2030-12-31"},
      // The log, its retention, backups.
      {{"--db", "{db}", "log", "pb", "--json"}, 0, "[]"},
      {{"--db", "{db}", "log", "pb", "--account", "100", "--since", "2024-02-29T13:45"}, 0, ""},
      {{"--db", "{db}", "log", "pb", "--since", "yesterday"}, 2, "--since"},
      {{"--db", "{db}", "log", "nope"}, 1, "no product nope"},
      {{"--db", "{db}", "retention", "--days", "30", "--max-rows", "5000"}, 0, "30 days, at most 5000 rows"},
      {{"--db", "{db}", "retention", "--json"}, 0, "\"max_rows\": 5000"},
  } + Only(Engine::kSqlite, {
      {{"--db", "{db}", "backup", "{dir}copy.db"}, 0, "backup written"},
      {{"--db", "{dir}copy.db", "license", "show", "pb", "L1"}, 0, "state:        active"},
      {{"--db", "{db}", "backup", "{db}"}, 1, "overwrite the database itself"},
      {{"--db", "{db}", "backup", "{dir}no/such/folder/copy.db"}, 3, ""},
  }) + Only(Engine::kPostgres, {
      {{"--db", "{db}", "backup", "{dir}copy.db"}, 1, "use pg_dump"},
  }) + std::vector<CliRow>{
      // Admins, API tokens and the audit log of every change above.
      {{"--db", "{db}", "admin", "add", "alice", "--password-file", "{dir}good.pw"}, 0, "admin alice added"},
      {{"--db", "{db}", "admin", "add", "alice", "--password-file", "{dir}good.pw"}, 1, "exists already"},
      {{"--db", "{db}", "admin", "add", "bob", "--password-file", "{dir}short.pw"}, 1, "shorter than 10"},
      {{"--db", "{db}", "admin", "add", "bob", "--password-file", "{dir}empty.pw"}, 1, "is empty"},
      {{"--db", "{db}", "admin", "add", "bob", "--password-file", "{dir}none.pw"}, 1, "cannot read"},
      {{"--db", "{db}", "admin", "add", "bob"}, 1, "is empty"},   // stdin is /dev/null: no tty, no line
      {{"--db", "{db}", "admin", "passwd", "alice", "--password-file", "{dir}good.pw"}, 0, "sessions are ended"},
      {{"--db", "{db}", "admin", "passwd", "carol", "--password-file", "{dir}good.pw"}, 1, "no admin carol"},
      {{"--db", "{db}", "admin", "list"}, 0, "alice\t"},
      {{"--db", "{db}", "admin", "token", "alice", "--scope", "revoke", "--label", "shop refunds"}, 0, "pbt_"},
      {{"--db", "{db}", "admin", "token", "alice", "--scope", "admin"}, 2, "--scope"},
      {{"--db", "{db}", "admin", "token", "carol"}, 1, "no admin carol"},
      {{"--db", "{db}", "admin", "tokens"}, 0, "1\talice\trevoke\tactive\tnever used\tshop refunds"},
      {{"--db", "{db}", "admin", "revoke-token", "1"}, 0, "token 1 is revoked"},
      {{"--db", "{db}", "admin", "revoke-token", "1"}, 0, "token 1 is revoked"},
      {{"--db", "{db}", "admin", "revoke-token", "99"}, 1, "no token 99"},
      {{"--db", "{db}", "admin", "tokens", "--json"}, 0, "\"scope\": \"revoke\""},
      {{"--db", "{db}", "audit", "--product", "pb", "--limit", "1"}, 0, "\tcli\t-\timport\tpb\t"},
      {{"--db", "{db}", "audit", "--product", "pb", "--json"}, 0, "\"action\": \"license.revoke\""},
      {{"--db", "{db}", "audit", "--json"}, 0, "\"action\": \"token.revoke\""},
      {{"--db", "{db}", "audit", "--limit", "0"}, 2, "--limit must be 1 to 1000"},
      {{"--db", "{db}", "serve", "--admin-cert", "x.pem"}, 2, "--admin-key"},
      // Pins.
      {{"pin", "--cert", "{dir}missing.pem"}, 1, "cannot read"},
      {{"pin", "--cert", "{dir}licenses.csv"}, 1, "holds no PEM certificate or key"},
  };
  RunTable(rows, dir, db_);
}

TEST_P(CommandLine, ANewerDatabaseIsRefused) {
  const std::string db = db_;
  ASSERT_EQ(pbstest::Run({"--db", db, "init"}, dir.File("")).status, 0);
  if (Sqlite()) {
    sqlite3* raw = nullptr;
    sqlite3_open(db.c_str(), &raw);
    sqlite3_exec(raw, "INSERT INTO schema_migrations VALUES (99, 0)", nullptr, nullptr, nullptr);
    sqlite3_close(raw);
  } else {
    ASSERT_EQ(pbstest::PostgresExec(db, "INSERT INTO schema_migrations VALUES (99, 0)"), "");
  }
  RunTable({
               {{"--db", "{db}", "init"}, 2, "newer than this program's"},
               {{"--db", "{db}", "product", "list"}, 2, "newer than this program's"},
               {{"--db", "{db}", "serve", "--http-port", "0", "--https-port", "0"}, 2, "newer than this program's"},
           },
           dir, db);
}

TEST(CommandLinePin, OfRsaAndEcdsaKeys) {
  pbstest::TempDir dir;
  // Keys and pins made by the openssl command, as tools/pin.sh computes them.
  const struct {
    const char* what;
    const char* keygen;
  } rows[] = {
      {"RSA", "openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj /CN=127.0.0.1"},
      {"ECDSA P-256", "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 -days 2 -subj /CN=127.0.0.1"},
  };
  for (const auto& row : rows) {
    const std::string cert = dir.File("c.pem"), key = dir.File("k.pem"), pin = dir.File("pin");
    const std::string make = std::string(row.keygen) + " -keyout " + key + " -out " + cert + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0) << row.what;
    const std::string expected_cmd = "openssl x509 -in " + cert +
                                     " -pubkey -noout | openssl pkey -pubin -outform DER | openssl dgst -sha256 "
                                     "-binary | base64 > " + pin;
    ASSERT_EQ(std::system(expected_cmd.c_str()), 0);
    const std::string expected = "sha256//" + pbstest::Slurp(pin);
    for (const std::string& file : {cert, key}) {
      const pbstest::Outcome o = pbstest::Run({"pin", "--cert", file}, dir.File(""));
      EXPECT_EQ(o.status, 0) << row.what << o.err;
      EXPECT_EQ(o.out, expected) << row.what << " " << file;
    }
  }
}

TEST_P(CommandLine, JsonDocumentsParse) {
  const std::string folder = dir.File("");
  const std::string db = db_;
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--db", db, "init"},
           {"--db", db, "product", "add", "pb", "--base-path", "/pb/"},
           {"--db", db, "set", "put", "pb", "gold", "a=1"},
           {"--db", db, "license", "add", "pb", "L\xC3\xA9", "--set", "gold", "--accounts", "x\xFFy,2", "--types", "-1,3"},
       }) {
    ASSERT_EQ(pbstest::Run(args, folder).status, 0);
  }
  const pbstest::Outcome o = pbstest::Run({"--db", db, "license", "list", "pb", "--json"}, folder);
  ASSERT_EQ(o.status, 0) << o.err;
  const nlohmann::json doc = nlohmann::json::parse(o.out);
  ASSERT_TRUE(doc.is_array());
  ASSERT_EQ(doc.size(), 1u);
  EXPECT_EQ(doc[0]["id"], "L\xC3\xA9");
  EXPECT_EQ(doc[0]["accounts"][0], "x\xEF\xBF\xBDy");   // a byte that is not UTF-8 replaced
  EXPECT_EQ(doc[0]["types"], nlohmann::json::array({-1, 3}));
  EXPECT_EQ(doc[0]["expires"], nullptr);
  EXPECT_EQ(doc[0]["max_accounts"], 10000);
}

// Several instances starting at once on a new PostgreSQL database: one
// migrates (under the advisory lock), the others find it done; all succeed
// and each migration is recorded once.
TEST(PostgresMigrations, SeveralInitsAtOnce) {
  pbstest::ScratchDatabase scratch(pbstest::Engine::kPostgres);
  PBS_REQUIRE_DATABASE(scratch);
  const std::string folder = scratch.Dir().File("");
  constexpr int kProcesses = 6;
  std::vector<pid_t> pids;
  for (int i = 0; i < kProcesses; ++i) {
    const std::string n = std::to_string(i);
    pids.push_back(pbstest::Start({"--db", scratch.Location(), "init"}, folder + "out" + n, folder + "err" + n));
  }
  for (int i = 0; i < kProcesses; ++i) {
    const std::string n = std::to_string(i);
    ASSERT_GT(pids[i], 0);
    const pbstest::Outcome o = pbstest::Collect(pids[i], folder + "out" + n, folder + "err" + n);
    EXPECT_EQ(o.status, 0) << "init " << n << ": " << o.err;
  }
  const std::string latest = std::to_string(pbs::LatestSchemaVersion());
  EXPECT_EQ(pbstest::PostgresValue(scratch.Location(), "SELECT count(*) || ' ' || count(DISTINCT version) || ' ' || "
                                                       "max(version) FROM schema_migrations"),
            latest + " " + latest + " " + latest);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, CommandLine, ::testing::Values(pbstest::Engine::kSqlite));
INSTANTIATE_TEST_SUITE_P(Postgres, CommandLine, ::testing::Values(pbstest::Engine::kPostgres));

}  // namespace

// A fetch log line is one fetch whatever the account a client sent: control
// bytes and the backslash are escaped, nothing else is touched.
TEST(LogRowLine, AccountBytesCannotForgeLines) {
  struct Row {
    std::string account;
    std::string shown;
  };
  const std::vector<Row> rows = {
      {"12345", "account 12345 type"},
      {"x y&z=1", "account x y&z=1 type"},
      {"1\n2026-01-01T00:00:00Z  100  account 4711", "account 1\\x0a2026-01-01T00:00:00Z  100  account 4711 type"},
      {"\x1b]0;owned\x07", "account \\x1b]0;owned\\x07 type"},
      {"a\\x0ab", "account a\\x5cx0ab type"},
      {"\x7f\xc3\xa9", "account \\x7f\xc3\xa9 type"},
  };
  for (const Row& row : rows) {
    pbs::FetchLogRow r;
    r.account = row.account;
    r.status = 100;
    const std::string line = pbs::cli::LogRowLine(r);
    EXPECT_NE(line.find(row.shown), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos) << line;
  }
}
