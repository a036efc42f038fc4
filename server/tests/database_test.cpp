// The database and the fetch service over it, on both engines (an SQLite
// file in a temporary folder, a fresh database on the PostgreSQL cluster of
// scratch_database.h): what a fetch is answered, that every change reaches
// the next fetch, trials, the fetch log, backups, a failing database and
// foreign databases.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <functional>
#include <map>
#include <string>

#include "params/reply_codec.h"
#include "params/store.h"
#include "server/core/dates.h"
#include "server/db/database.h"
#include "server/db/database_fetch_service.h"
#include "scratch_database.h"
#include "temp_dir.h"

namespace {

using Clock = std::chrono::system_clock;

Clock::time_point Noon(const char* day) {
  return Clock::time_point(std::chrono::hours(24) * pbs::ParseDate(day)->days + std::chrono::hours(12));
}

std::map<std::string, std::string> g_read;
void Collect(const std::string& name, const std::string& value) { g_read[name] = value; }

// The reply as the module reads it: "error=...&errorD=..." sorted by name.
std::string Read(const std::string& body) {
  pb::ResetStoreForTesting();
  pb::DecodeReply(body);
  g_read.clear();
  pb::ForEachParameterForTesting(Collect);
  pb::ResetStoreForTesting();
  std::string out;
  for (const auto& [name, value] : g_read) out += (out.empty() ? "" : "&") + name + "=" + value;
  return out;
}

class DatabaseTest : public ::testing::TestWithParam<pbstest::Engine> {
 protected:
  void SetUp() override {
    PBS_REQUIRE_DATABASE(scratch_);
    path_ = scratch_.Location();
    admin_ = pbs::OpenDatabase(path_, pbs::OpenMode::kCreate);
    pbs::Product p;
    p.name = "pb";
    p.base_path = "/pb/";
    admin_->AddProduct(p);
    admin_->PutSet("pb", "gold", {{"func101", "1.5"}, {"func102", "0.25"}});
    admin_->PutSet("pb", "trial", {{"func101", "0.1"}});
    service_ = std::make_unique<pbs::DatabaseFetchService>(pbs::OpenDatabase(path_, pbs::OpenMode::kExisting));
  }

  pbs::FetchAnswer Fetch(const std::string& account, int type = 0, Clock::time_point when = Noon("2024-02-29")) {
    pbs::FetchInput in;
    in.method = "POST";
    in.target = "/pb/run/";
    in.body = "account=" + account + "&accountType=" + std::to_string(type);
    in.received = when;
    return service_->Answer(in);
  }

  void AddLicense(const std::string& id, std::vector<std::string> accounts, std::vector<int32_t> types = {}) {
    pbs::License l;
    l.id = id;
    l.accounts = std::move(accounts);
    l.max_accounts = 10;
    l.types = std::move(types);
    l.set = "gold";
    admin_->AddLicense("pb", l);
  }

  pbstest::ScratchDatabase scratch_{GetParam()};
  const pbstest::TempDir& dir_ = scratch_.Dir();
  std::string path_;   // the file's path or the database's URL
  std::unique_ptr<pbs::Database> admin_;   // the command line's connection
  std::unique_ptr<pbs::DatabaseFetchService> service_;   // a database thread's
};

TEST_P(DatabaseTest, RequestsAnsweredAsTheStandInDoes) {
  AddLicense("order-1", {"12345", "x y&z=1", "\xff\\x41b"});
  const struct {
    const char* method;
    const char* target;
    const char* body;
    int http_status;
    int status;
    const char* product;
    const char* reply;
  } rows[] = {
      {"POST", "/pb/run/", "account=12345&accountType=0", 200, 100, "pb", "error=100&func101=1.5&func102=0.25"},
      {"POST", "/pb/run/", "account=x y&z=1&accountType=3", 200, 100, "pb", "error=100&func101=1.5&func102=0.25"},
      {"POST", "/pb/run/", "account=99&accountType=0", 200, 201, "pb", "error=201&errorD=Unknown account"},
      // A byte that is not UTF-8 and a backslash: kept as sent.
      {"POST", "/pb/run/", "account=\xff\\x41b&accountType=0", 200, 100, "pb", "error=100&func101=1.5&func102=0.25"},
      {"POST", "/pb/run/", "account=\xff\\x41&accountType=0", 200, 201, "pb", "error=201&errorD=Unknown account"},
      {"POST", "/pb/run/", "account=\xff\\\\x41b&accountType=0", 200, 201, "pb", "error=201&errorD=Unknown account"},
      {"POST", "/pb/run/", "account=12345", 200, 400, "pb", "error=400&errorD=Malformed request"},
      {"POST", "/pb/run/", "", 200, 400, "pb", "error=400&errorD=Malformed request"},
      {"POST", "/pb/run/", "account=12345&accountType=9999999999", 200, 400, "pb", "error=400&errorD=Malformed request"},
      {"POST", "/pb/", "account=12345&accountType=0", 404, 404, "", "error=404&errorD=Unknown path"},
      {"POST", "/pb/run", "account=12345&accountType=0", 404, 404, "", "error=404&errorD=Unknown path"},
      {"POST", "/pb/run/?x=1", "account=12345&accountType=0", 404, 404, "", "error=404&errorD=Unknown path"},
      {"POST", "/other/run/", "account=12345&accountType=0", 404, 404, "", "error=404&errorD=Unknown path"},
      {"POST", "run/", "account=12345&accountType=0", 404, 404, "", "error=404&errorD=Unknown path"},
      {"POST", "", "", 404, 404, "", "error=404&errorD=Unknown path"},
      // The method is looked at first, as the stand-in does.
      {"GET", "/pb/run/", "", 405, 405, "pb", "error=405&errorD=Method not allowed"},
      {"GET", "/nowhere/", "", 405, 405, "", "error=405&errorD=Method not allowed"},
      {"post", "/pb/run/", "account=12345&accountType=0", 405, 405, "pb", "error=405&errorD=Method not allowed"},
  };
  for (const auto& row : rows) {
    pbs::FetchInput in;
    in.method = row.method;
    in.target = row.target;
    in.body = row.body;
    in.received = Noon("2024-02-29");
    const pbs::FetchAnswer a = service_->Answer(in);
    const std::string what = std::string(row.method) + " " + row.target + " " + row.body;
    EXPECT_EQ(a.http_status, row.http_status) << what;
    EXPECT_EQ(a.status, row.status) << what;
    EXPECT_EQ(a.product, row.product) << what;
    EXPECT_EQ(Read(a.body), row.reply) << what;
  }
}

TEST_P(DatabaseTest, EveryChangeReachesTheNextFetch) {
  AddLicense("order-1", {"1"});
  using Change = std::function<void(pbs::Database&)>;
  auto change = [](pbs::LicenseChange c) {
    return [c](pbs::Database& db) { db.ChangeLicense("pb", "order-1", c); };
  };
  pbs::LicenseChange suspend, resume, revoke, expire, never, retype, override, clear, to_trial_set, remove, add;
  suspend.state = pbs::LicenseState::kSuspended;
  resume.state = pbs::LicenseState::kActive;
  revoke.state = pbs::LicenseState::kRevoked;
  expire.expires = pbs::ParseDate("2024-02-28");
  never.expires.emplace();
  retype.types = std::vector<int32_t>{1};
  override.overrides = {{"func102", "0.5"}, {"extra", "x"}};
  clear.clear_overrides = {"func102"};
  to_trial_set.set = "trial";
  remove.remove_accounts = {"1"};
  add.add_accounts = {"1"};
  const struct {
    const char* what;
    Change change;
    std::string reply;
  } steps[] = {
      {"as added", [](pbs::Database&) {}, "error=100&func101=1.5&func102=0.25"},
      {"set replaced", [](pbs::Database& db) { db.PutSet("pb", "gold", {{"func101", "2"}}); }, "error=100&func101=2"},
      {"override", change(override), "error=100&extra=x&func101=2&func102=0.5"},
      {"override cleared", change(clear), "error=100&extra=x&func101=2"},
      {"another set", change(to_trial_set), "error=100&extra=x&func101=0.1"},
      {"re-typed", change(retype), "error=202&errorD=Account type not allowed"},
      {"expired", change(expire), "error=203&errorD=License expired on 2024-02-28"},
      {"text reworded", [](pbs::Database& db) { db.SetText("pb", 203, "Over since {date}"); },
       "error=203&errorD=Over since 2024-02-28"},
      {"suspended", change(suspend), "error=204&errorD=License suspended"},
      {"extended, still suspended", change(never), "error=204&errorD=License suspended"},
      {"resumed, still re-typed", change(resume), "error=202&errorD=Account type not allowed"},
      {"account removed", change(remove), "error=201&errorD=Unknown account"},
      {"account added back", change(add), "error=202&errorD=Account type not allowed"},
      {"revoked", change(revoke), "error=205&errorD=License revoked"},
  };
  for (const auto& step : steps) {
    step.change(*admin_);
    EXPECT_EQ(Read(Fetch("1").body), step.reply) << step.what;
  }
  // Revoked is final, in the database too.
  EXPECT_THROW(admin_->ChangeLicense("pb", "order-1", resume), pbs::Refused);
  EXPECT_EQ(Read(Fetch("1").body), "error=205&errorD=License revoked");
}

TEST_P(DatabaseTest, RulesAcrossLicenses) {
  AddLicense("a", {"1"}, {0});
  const struct {
    const char* what;
    std::function<void()> act;
    bool refused;
  } rows[] = {
      {"the same account for another type", [&] { AddLicense("b", {"1"}, {1}); }, false},
      {"the same account for an overlapping type", [&] { AddLicense("c", {"1"}, {1, 2}); }, true},
      {"the same account for every type", [&] { AddLicense("d", {"1"}); }, true},
      {"an id twice", [&] { AddLicense("a", {"9"}); }, true},
      {"an unknown set", [&] {
         pbs::License l;
         l.id = "e";
         l.set = "nope";
         admin_->AddLicense("pb", l);
       }, true},
      {"an unknown product", [&] { admin_->PutSet("nope", "s", {}); }, true},
      {"a base path taken", [&] {
         pbs::Product p;
         p.name = "pb2";
         p.base_path = "/pb/";
         admin_->AddProduct(p);
       }, true},
      {"a product twice", [&] {
         pbs::Product p;
         p.name = "pb";
         p.base_path = "/pb3/";
         admin_->AddProduct(p);
       }, true},
      {"a set too large with a license's overrides", [&] {
         pbs::LicenseChange c;
         c.overrides = {{"big", std::string(4000, 'x')}};
         admin_->ChangeLicense("pb", "a", c);
         pbs::Pairs pairs;
         for (int i = 0; i < 16; ++i) pairs.push_back({"p" + std::to_string(i), std::string(4000, 'y')});
         admin_->PutSet("pb", "gold", pairs);
       }, true},
      {"the trial's set must exist", [&] {
         pbs::TrialPolicy t;
         t.days = 3;
         t.set = "nope";
         admin_->SetTrial("pb", t);
       }, true},
  };
  for (const auto& row : rows) {
    bool refused = false;
    try {
      row.act();
    } catch (const pbs::Refused&) {
      refused = true;
    }
    EXPECT_EQ(refused, row.refused) << row.what;
  }
  EXPECT_EQ(Read(Fetch("1", 1).body), "error=100&func101=1.5&func102=0.25");
}

TEST_P(DatabaseTest, TrialsOncePerAccountAndCappedPerHour) {
  pbs::TrialPolicy t;
  t.days = 2;
  t.set = "trial";
  t.per_hour = 2;
  admin_->SetTrial("pb", t);
  const Clock::time_point start = Noon("2024-02-29");
  const struct {
    const char* what;
    const char* account;
    Clock::time_point when;
    std::string reply;
  } rows[] = {
      {"first trial", "1", start, "error=100&func101=0.1"},
      {"the same account again", "1", start + std::chrono::minutes(1), "error=100&func101=0.1"},
      {"second trial this hour", "2", start + std::chrono::minutes(2), "error=100&func101=0.1"},
      {"third this hour: capped", "3", start + std::chrono::minutes(3), "error=201&errorD=Unknown account"},
      {"a running trial still served under the cap", "2", start + std::chrono::minutes(4), "error=100&func101=0.1"},
      {"an hour after the first: room again", "3", start + std::chrono::minutes(61), "error=100&func101=0.1"},
      {"the trial's last day", "1", Noon("2024-03-02"), "error=100&func101=0.1"},
      {"after it: expired, never a second", "1", Noon("2024-03-03"), "error=203&errorD=License expired on 2024-03-02"},
      {"the empty account gets none", "", start + std::chrono::hours(5), "error=201&errorD=Unknown account"},
  };
  for (const auto& row : rows) EXPECT_EQ(Read(Fetch(row.account, 0, row.when).body), row.reply) << row.what;
  // Trials off: a running one is kept, an expired one stays expired, a new
  // account gets none.
  t.days = 0;
  admin_->SetTrial("pb", t);
  EXPECT_EQ(Read(Fetch("3", 0, Noon("2024-03-01")).body), "error=100&func101=0.1");
  EXPECT_EQ(Read(Fetch("1", 0, Noon("2024-03-03")).body), "error=203&errorD=License expired on 2024-03-02");
  EXPECT_EQ(Read(Fetch("4", 0, Noon("2024-03-01")).body), "error=201&errorD=Unknown account");
  // A license wins over the trial.
  AddLicense("order-9", {"1"});
  EXPECT_EQ(Read(Fetch("1", 0, Noon("2024-03-03")).body), "error=100&func101=1.5&func102=0.25");
}

TEST_P(DatabaseTest, FetchLogWrittenQueriedAndBounded) {
  std::vector<pbs::FetchLogRow> rows;
  for (int i = 0; i < 10; ++i) {
    pbs::FetchLogRow r;
    r.time = Noon("2024-02-20") + std::chrono::hours(24 * i);
    r.product = "pb";
    r.account = i % 2 ? "odd" : std::string(300, 'e');   // cut to 256 bytes
    r.account_type = i;
    r.peer = "127.0.0.1";
    r.https = i % 3 == 0;
    r.status = 100 + i;
    r.micros = 250;
    rows.push_back(r);
  }
  // Kept whatever their age (the writer prunes by the settings as it goes).
  pbs::LogSettings keep;
  keep.retention_days = 0;
  keep.max_rows = 0;
  admin_->SetLogSettings(keep);
  service_->WriteLog(rows);
  const struct {
    const char* what;
    std::optional<std::string> account;
    std::optional<const char*> since;
    std::size_t limit;
    std::vector<int> statuses;
  } queries[] = {
      {"all, oldest first", std::nullopt, std::nullopt, 0, {100, 101, 102, 103, 104, 105, 106, 107, 108, 109}},
      {"one account", std::string("odd"), std::nullopt, 0, {101, 103, 105, 107, 109}},
      {"the cut account", std::string(256, 'e'), std::nullopt, 0, {100, 102, 104, 106, 108}},
      {"since a day", std::nullopt, "2024-02-27", 0, {107, 108, 109}},
      {"since a minute", std::nullopt, "2024-02-27T12:01", 0, {108, 109}},
      {"the latest two", std::nullopt, std::nullopt, 2, {108, 109}},
  };
  for (const auto& q : queries) {
    pbs::LogQuery query;
    query.product = "pb";
    query.account = q.account;
    if (q.since) query.since_micros = pbs::ParseSince(*q.since);
    query.limit = q.limit;
    std::vector<int> statuses;
    for (const auto& r : admin_->QueryLog(query)) statuses.push_back(r.status);
    EXPECT_EQ(statuses, q.statuses) << q.what;
  }
  // Retention: by age, then by count.
  pbs::LogSettings s;
  s.retention_days = 5;
  s.max_rows = 0;
  admin_->SetLogSettings(s);
  admin_->PruneLog(Noon("2024-03-01"));
  pbs::LogQuery all;
  all.product = "pb";
  EXPECT_EQ(admin_->QueryLog(all).size(), 5u);   // 02-25 .. 02-29 kept
  s.max_rows = 2;
  admin_->SetLogSettings(s);
  admin_->PruneLog(Noon("2024-03-01"));
  EXPECT_EQ(admin_->QueryLog(all).size(), 2u);
  service_->NoteDroppedRows(7);
  service_->NoteDroppedRows(5);
  EXPECT_EQ(admin_->DroppedRows(), 12u);
}

// The admin side's store: each row one call on the command line's
// connection, and what it gave back (or the start of the Refused it threw).
TEST_P(DatabaseTest, AdminStoreTable) {
  pbs::Database& db = *admin_;
  auto token = [](const char* admin, pbs::Scope scope, const char* digest) {
    pbs::ApiToken t;
    t.admin = admin;
    t.label = "hook";
    t.scope = scope;
    t.digest = digest;
    t.created_micros = 10;
    return t;
  };
  auto session = [](const char* digest, int64_t expires) {
    return pbs::AdminSession{digest, "alice", "csrf-" + std::string(digest), "127.0.0.1", 100, expires};
  };
  auto audit = [](const char* product, const char* action) {
    pbs::AuditRow r;
    r.time_micros = 5;
    r.actor = "alice";
    r.via = "token:1";
    r.action = action;
    r.product = product;
    r.subject = "L1";
    r.detail = "{}";
    return r;
  };
  auto ids = [](const std::vector<pbs::AuditRow>& rows) {
    std::string out;
    for (const auto& r : rows) out += std::to_string(r.id) + r.action + ";";
    return out;
  };
  auto log = [](const char* account, int status, int64_t micros) {
    pbs::FetchLogRow r;
    r.time = pbs::FromMicros(micros);
    r.product = "pb";
    r.account = account;
    r.status = status;
    return r;
  };
  const int64_t hour = 3600LL * 1000000;
  const struct {
    const char* what;
    std::function<std::string()> run;
    std::string gives;
  } rows[] = {
      {"add an admin", [&] { db.AddAdmin({"alice", "$argon2id$x", 1}); return std::string("ok"); }, "ok"},
      {"the same name again", [&] { db.AddAdmin({"alice", "$argon2id$y", 2}); return std::string("ok"); },
       "refused: admin alice exists already"},
      {"an empty name", [&] { db.AddAdmin({"", "h", 2}); return std::string("ok"); }, "refused: an admin's name"},
      {"found", [&] { return db.FindAdmin("alice")->password_hash; }, "$argon2id$x"},
      {"unknown", [&] { return std::to_string(db.FindAdmin("bob").has_value()); }, "0"},
      {"password of an unknown admin", [&] { db.SetAdminPassword("bob", "h"); return std::string("ok"); },
       "refused: no admin bob"},
      {"a token", [&] { return std::to_string(db.AddToken(token("alice", pbs::Scope::kRevoke, "d1"))); }, "1"},
      {"a token of an unknown admin", [&] { return std::to_string(db.AddToken(token("bob", pbs::Scope::kFull, "d2"))); },
       "refused: no admin bob"},
      {"a second token", [&] { return std::to_string(db.AddToken(token("alice", pbs::Scope::kFull, "d2"))); }, "2"},
      {"found by digest", [&] { auto t = db.FindToken("d1"); return t->admin + (t->scope == pbs::Scope::kRevoke ? " revoke" : " ?"); },
       "alice revoke"},
      {"unknown digest", [&] { return std::to_string(db.FindToken("d9").has_value()); }, "0"},
      {"revoke", [&] { return std::to_string(db.RevokeToken(1, 50)); }, "1"},
      {"revoke again keeps the first time", [&] { db.RevokeToken(1, 60); return std::to_string(*db.FindToken("d1")->revoked_micros); }, "50"},
      {"revoke an unknown id", [&] { return std::to_string(db.RevokeToken(9, 60)); }, "0"},
      {"last used", [&] { db.NoteTokenUsed(2, 70); return std::to_string(*db.ListTokens()[1].last_used_micros); }, "70"},
      {"a session", [&] { db.AddSession(session("s1", 1000)); return db.FindSession("s1", 999)->csrf; }, "csrf-s1"},
      {"expired at its end", [&] { return std::to_string(db.FindSession("s1", 1000).has_value()); }, "0"},
      {"signed out", [&] { db.AddSession(session("s2", 5000)); db.DeleteSession("s2"); return std::to_string(db.FindSession("s2", 1).has_value()); }, "0"},
      {"a new password ends the sessions", [&] { db.AddSession(session("s3", 5000)); db.SetAdminPassword("alice", "new"); return std::to_string(db.FindSession("s3", 1).has_value()); }, "0"},
      {"audit rows get increasing ids", [&] { return std::to_string(db.AppendAudit(audit("pb", "a"))) + std::to_string(db.AppendAudit(audit("", "b"))) + std::to_string(db.AppendAudit(audit("pb", "c"))); }, "123"},
      {"audit newest first", [&] { return ids(db.QueryAudit({})); }, "3c;2b;1a;"},
      {"audit of a product", [&] { return ids(db.QueryAudit({std::string("pb"), std::nullopt, 100})); }, "3c;1a;"},
      {"audit before an id, limited", [&] { return ids(db.QueryAudit({std::nullopt, int64_t{3}, 1})); }, "2b;"},
      {"log stats by hour and status", [&] {
         db.AppendLog({log("1", 100, 10 * hour + 5), log("1", 205, 10 * hour + 6), log("2", 100, 11 * hour), log("2", 100, 11 * hour + 1), log("3", 100, 9 * hour)});
         std::string out;
         for (const auto& r : db.LogStats("pb", 10 * hour)) out += std::to_string(r.hour_micros / hour) + ":" + std::to_string(r.status) + "x" + std::to_string(r.count) + ";";
         return out; }, "10:100x1;10:205x1;11:100x2;"},
      {"log stats of an unknown product", [&] { db.LogStats("nope", 0); return std::string("ok"); }, "refused: no product nope"},
      {"last fetches", [&] {
         std::string out;
         for (const auto& [account, r] : db.LastFetches("pb", {"1", "2", "never"})) out += account + ":" + std::to_string(r.status) + ";";
         return out; }, "1:205;2:100;"},
      {"the log before a time", [&] {
         pbs::LogQuery q;
         q.product = "pb";
         q.before_micros = 11 * hour;
         std::string out;
         for (const auto& r : db.QueryLog(q)) out += r.account + ";";
         return out; }, "3;1;1;"},
  };
  for (const auto& row : rows) {
    std::string got;
    try {
      got = row.run();
    } catch (const pbs::Refused& e) {
      got = std::string("refused: ") + e.what();
    }
    EXPECT_EQ(got.substr(0, row.gives.size()), row.gives) << row.what << ": " << got;
  }
}

TEST_P(DatabaseTest, BackupIsAWholeDatabase) {
  AddLicense("order-1", {"1"});
  const std::string out = dir_.File("copy.db");
  if (GetParam() == pbstest::Engine::kPostgres) {
    // pg_dump takes PostgreSQL's backups; the command says so.
    try {
      admin_->Backup(out);
      ADD_FAILURE() << "a backup of a PostgreSQL database was written";
    } catch (const pbs::Refused& e) {
      EXPECT_NE(std::string(e.what()).find("pg_dump"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::ifstream(out).good());
    return;
  }
  admin_->Backup(out);
  {
    std::ofstream(out + "-wal");   // no stale sidecar may be needed by the copy
  }
  std::remove((out + "-wal").c_str());
  auto copy = pbs::OpenDatabase(out, pbs::OpenMode::kExisting);
  EXPECT_EQ(copy->GetLicense("pb", "order-1").accounts, std::vector<std::string>{"1"});
  // A second backup replaces the first.
  AddLicense("order-2", {"2"});
  admin_->Backup(out);
  auto again = pbs::OpenDatabase(out, pbs::OpenMode::kExisting);
  EXPECT_EQ(again->ListLicenses("pb").size(), 2u);
  EXPECT_THROW(admin_->Backup(path_), pbs::Refused);
}

TEST_P(DatabaseTest, AFailingDatabaseIsNeverADecision) {
  AddLicense("order-1", {"1"});
  EXPECT_EQ(Fetch("1").status, 100);
  if (GetParam() == pbstest::Engine::kPostgres) {
    // The server ends every connection (as a restart does): the next fetch
    // connects again by itself. Then the database is gone: no decision,
    // until it is back.
    admin_.reset();
    const std::string cluster = scratch_.Maintenance();
    const std::string terminate =
        "SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE datname = '" + scratch_.Name() + "'";
    ASSERT_EQ(pbstest::PostgresExec(cluster, terminate), "");
    EXPECT_EQ(Fetch("1").status, 100);
    ASSERT_EQ(pbstest::PostgresExec(cluster, terminate), "");
    ASSERT_EQ(pbstest::PostgresExec(cluster, "ALTER DATABASE " + scratch_.Name() + " RENAME TO " + scratch_.Name() + "_away"), "");
    EXPECT_THROW(Fetch("1"), pbs::DatabaseUnavailable);
    EXPECT_THROW(Fetch("1"), pbs::DatabaseUnavailable);
    EXPECT_THROW(service_->WriteLog({pbs::FetchLogRow{}}), pbs::DatabaseUnavailable);
    ASSERT_EQ(pbstest::PostgresExec(cluster, "ALTER DATABASE " + scratch_.Name() + "_away RENAME TO " + scratch_.Name()), "");
    EXPECT_EQ(Fetch("1").status, 100);
    return;
  }
  // The file is overwritten under the open connection: no answer can be
  // trusted, and none is given.
  admin_.reset();
  {
    std::ofstream f(path_, std::ios::binary | std::ios::trunc);
    f << std::string(8192, 'x');
  }
  std::remove((path_ + "-wal").c_str());
  {
    // The shared index zeroed: the connection cannot trust what it holds.
    std::fstream shm(path_ + "-shm", std::ios::binary | std::ios::in | std::ios::out);
    shm << std::string(32768, '\0');
  }
  EXPECT_THROW(Fetch("1"), pbs::DatabaseUnavailable);
}

INSTANTIATE_TEST_SUITE_P(Sqlite, DatabaseTest, ::testing::Values(pbstest::Engine::kSqlite));
INSTANTIATE_TEST_SUITE_P(Postgres, DatabaseTest, ::testing::Values(pbstest::Engine::kPostgres));

// Files that are not our databases, and databases newer than this program.
TEST(OpenDatabase, RefusesWhatIsNotOurs) {
  pbstest::TempDir dir;
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir.File(name), std::ios::binary) << bytes;
    return dir.File(name);
  };
  auto sqlite = [&](const std::string& name, const char* sql) {
    sqlite3* db = nullptr;
    sqlite3_open(dir.File(name).c_str(), &db);
    sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return dir.File(name);
  };
  const std::string ours = dir.File("ours.db");
  pbs::OpenDatabase(ours, pbs::OpenMode::kCreate);
  const std::string newer = dir.File("newer.db");
  pbs::OpenDatabase(newer, pbs::OpenMode::kCreate);
  sqlite("newer.db", "INSERT INTO schema_migrations VALUES (999, 0)");
  const struct {
    const char* what;
    std::string path;
    pbs::OpenMode mode;
    bool ok;
  } rows[] = {
      {"ours", ours, pbs::OpenMode::kExisting, true},
      {"ours, init again", ours, pbs::OpenMode::kCreate, true},
      {"a new file with init", dir.File("new.db"), pbs::OpenMode::kCreate, true},
      {"an empty file with init", write("empty-init.db", ""), pbs::OpenMode::kCreate, true},
      {"no file", dir.File("missing.db"), pbs::OpenMode::kExisting, false},
      {"an empty file", write("empty.db", ""), pbs::OpenMode::kExisting, false},
      {"a text file", write("text.db", "id,accounts,set\n" + std::string(5000, 'x')), pbs::OpenMode::kExisting, false},
      {"a text file with init", write("text2.db", std::string(5000, 'x')), pbs::OpenMode::kCreate, false},
      {"another program's SQLite database", sqlite("other.db", "CREATE TABLE t(x)"), pbs::OpenMode::kCreate, false},
      {"an SQLite file with another application id", sqlite("appid.db", "PRAGMA application_id=7"),
       pbs::OpenMode::kExisting, false},
      {"a newer schema", newer, pbs::OpenMode::kExisting, false},
  };
  for (const auto& row : rows) {
    bool ok = true;
    try {
      pbs::OpenDatabase(row.path, row.mode);
    } catch (const pbs::NotOurDatabase& e) {
      ok = false;
    }
    EXPECT_EQ(ok, row.ok) << row.what;
  }
  // A refused file is left as it was.
  std::ifstream text(dir.File("text2.db"), std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(text), {}), std::string(5000, 'x'));
}

}  // namespace

namespace {

// The same judgement of PostgreSQL databases: someone else's tables, a
// schema newer than this program, an empty database outside init, a URL
// that names no reachable database.
TEST(OpenPostgresDatabase, RefusesWhatIsNotOurs) {
  enum Outcome { kOpens, kNotOurs, kUnavailable };
  pbstest::ScratchDatabase ours(pbstest::Engine::kPostgres), empty(pbstest::Engine::kPostgres),
      other(pbstest::Engine::kPostgres), lookalike(pbstest::Engine::kPostgres), newer(pbstest::Engine::kPostgres);
  PBS_REQUIRE_DATABASE(ours);
  pbs::OpenDatabase(ours.Location(), pbs::OpenMode::kCreate);
  pbs::OpenDatabase(newer.Location(), pbs::OpenMode::kCreate);
  ASSERT_EQ(pbstest::PostgresExec(newer.Location(), "INSERT INTO schema_migrations VALUES (999, 0)"), "");
  ASSERT_EQ(pbstest::PostgresExec(other.Location(), "CREATE TABLE t (x int)"), "");
  // Another program's bookkeeping under the same name, without our mark.
  ASSERT_EQ(pbstest::PostgresExec(lookalike.Location(), "CREATE TABLE schema_migrations (version varchar PRIMARY KEY)"), "");
  const std::string closed_port = "postgresql://pbs@127.0.0.1:1/pbs?connect_timeout=2";
  const struct {
    const char* what;
    std::string url;
    pbs::OpenMode mode;
    Outcome outcome;
  } rows[] = {
      {"ours", ours.Location(), pbs::OpenMode::kExisting, kOpens},
      {"ours, init again", ours.Location(), pbs::OpenMode::kCreate, kOpens},
      {"an empty database", empty.Location(), pbs::OpenMode::kExisting, kNotOurs},
      {"another program's tables", other.Location(), pbs::OpenMode::kCreate, kNotOurs},
      {"another program's schema_migrations", lookalike.Location(), pbs::OpenMode::kCreate, kNotOurs},
      {"a newer schema", newer.Location(), pbs::OpenMode::kExisting, kNotOurs},
      {"a newer schema, init", newer.Location(), pbs::OpenMode::kCreate, kNotOurs},
      {"no such database", pbstest::WithDatabase(ours.Location(), "pbs_no_such"), pbs::OpenMode::kCreate, kUnavailable},
      {"nothing listening", closed_port, pbs::OpenMode::kExisting, kUnavailable},
      {"not a URL libpq reads", "postgresql://[::1", pbs::OpenMode::kExisting, kNotOurs},
      {"an empty database, init", empty.Location(), pbs::OpenMode::kCreate, kOpens},
  };
  for (const auto& row : rows) {
    Outcome got = kOpens;
    try {
      pbs::OpenDatabase(row.url, row.mode);
    } catch (const pbs::NotOurDatabase&) {
      got = kNotOurs;
    } catch (const pbs::DatabaseUnavailable&) {
      got = kUnavailable;
    }
    EXPECT_EQ(got, row.outcome) << row.what;
  }
  // Refused databases are left as they were.
  EXPECT_EQ(pbstest::PostgresValue(other.Location(), "SELECT count(*) FROM pg_tables WHERE schemaname = 'public'"), "1");
  EXPECT_EQ(pbstest::PostgresValue(newer.Location(), "SELECT max(version) FROM schema_migrations"), "999");
}

}  // namespace
