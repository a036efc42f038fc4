#include "server/db/sqlite_database.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <set>

#include "server/core/dates.h"
#include "server/core/rules.h"
#include "server/db/sqlite_admin_store.h"
#include "server/db/sqlite_handle.h"
#include "server/db/sqlite_schema.h"

namespace pbs {
namespace {

using sqlite::Connection;
using sqlite::Statement;
using sqlite::Transaction;

int64_t NowMicros() { return ToMicros(std::chrono::system_clock::now()); }

void Require(const Problem& problem) {
  if (problem) throw Refused(*problem);
}

class SqliteDatabase : public Database {
 public:
  explicit SqliteDatabase(const std::string& path, OpenMode mode)
      : c_(path, SQLITE_OPEN_READWRITE | (mode == OpenMode::kCreate ? SQLITE_OPEN_CREATE : 0) |
                     SQLITE_OPEN_NOFOLLOW) {
    sqlite::PrepareDatabase(c_, mode);
  }

  // ---- products ----------------------------------------------------------

  void AddProduct(const Product& product) override {
    Require(CheckProductName(product.name));
    Require(CheckBasePath(product.base_path));
    Transaction t(c_, Transaction::kWrite);
    if (FindProductId(product.name)) throw Refused("product " + product.name + " exists already");
    Statement taken = c_.Prepare("SELECT name FROM products WHERE base_path = ?");
    taken.Bind(1, product.base_path);
    if (taken.Step()) throw Refused("base path " + product.base_path + " is taken by product " + taken.Text(0));
    c_.Prepare("INSERT INTO products (name, base_path, created_us) VALUES (?, ?, ?)")
        .Bind(1, product.name)
        .Bind(2, product.base_path)
        .Bind(3, NowMicros())
        .Run();
    t.Commit();
  }

  Product GetProduct(const std::string& name) override {
    Transaction t(c_, Transaction::kRead);
    return LoadProduct(ProductId(name));
  }

  std::vector<Product> ListProducts() override {
    Transaction t(c_, Transaction::kRead);
    std::vector<int64_t> ids;
    {
      Statement s = c_.Prepare("SELECT id FROM products ORDER BY name");
      while (s.Step()) ids.push_back(s.Int(0));
    }
    std::vector<Product> out;
    for (int64_t id : ids) out.push_back(LoadProduct(id));
    return out;
  }

  void SetTrial(const std::string& product, const TrialPolicy& trial) override {
    if (trial.days < 0 || trial.days > 3650) throw Refused("--days must be 0 (no trials) to 3650");
    Transaction t(c_, Transaction::kWrite);
    const int64_t pid = ProductId(product);
    if (trial.days > 0) {
      Require(CheckSetName(trial.set));
      RequireSet(pid, product, trial.set);
    }
    c_.Prepare("UPDATE products SET trial_days = ?, trial_set = ?, trial_per_hour = ? WHERE id = ?")
        .Bind(1, int64_t{trial.days})
        .Bind(2, trial.set)
        .Bind(3, int64_t{trial.per_hour})
        .Bind(4, pid)
        .Run();
    t.Commit();
  }

  void SetText(const std::string& product, int status, const std::string& text) override {
    Require(CheckRefusalText(status, text));
    Transaction t(c_, Transaction::kWrite);
    const int64_t pid = ProductId(product);
    c_.Prepare("INSERT OR REPLACE INTO product_texts (product_id, status, text) VALUES (?, ?, ?)")
        .Bind(1, pid)
        .Bind(2, int64_t{status})
        .Bind(3, text)
        .Run();
    t.Commit();
  }

  // ---- sets --------------------------------------------------------------

  void PutSet(const std::string& product, const std::string& set, const Pairs& pairs) override {
    Require(CheckSetName(set));
    Require(CheckPairs(pairs));
    Transaction t(c_, Transaction::kWrite);
    const int64_t pid = ProductId(product);
    // Every license on the set must still make a reply the format carries.
    for (const License& license : LicensesOnSet(pid, set)) {
      if (Problem p = CheckPairs(ApplyOverrides(pairs, license.overrides))) {
        throw Refused("with the overrides of license " + license.id + ": " + *p);
      }
    }
    StoreSet(pid, set, pairs);
    t.Commit();
  }

  Pairs GetSet(const std::string& product, const std::string& set) override {
    Transaction t(c_, Transaction::kRead);
    const int64_t pid = ProductId(product);
    std::optional<Pairs> pairs = LoadSet(pid, set);
    if (!pairs) throw Refused("product " + product + " has no set " + set);
    return *pairs;
  }

  std::vector<std::string> ListSets(const std::string& product) override {
    Transaction t(c_, Transaction::kRead);
    return SetNames(ProductId(product));
  }

  // ---- licenses ----------------------------------------------------------

  void AddLicense(const std::string& product, const License& license) override {
    CheckLicense(license);
    Transaction t(c_, Transaction::kWrite);
    const int64_t pid = ProductId(product);
    InsertLicense(pid, product, license);
    t.Commit();
  }

  License ChangeLicense(const std::string& product, const std::string& id, const LicenseChange& change) override {
    Transaction t(c_, Transaction::kWrite);
    const int64_t pid = ProductId(product);
    const int64_t key = LicenseKey(pid, product, id);
    License license = LoadLicense(key);
    ApplyChange(license, change);
    CheckInProduct(pid, product, license);
    StoreLicense(key, license);
    t.Commit();
    return license;
  }

  License GetLicense(const std::string& product, const std::string& id) override {
    Transaction t(c_, Transaction::kRead);
    const int64_t pid = ProductId(product);
    return LoadLicense(LicenseKey(pid, product, id));
  }

  std::vector<License> ListLicenses(const std::string& product) override {
    Transaction t(c_, Transaction::kRead);
    const int64_t pid = ProductId(product);
    std::vector<int64_t> keys;
    {
      Statement s = c_.Prepare("SELECT id FROM licenses WHERE product_id = ? ORDER BY id");
      s.Bind(1, pid);
      while (s.Step()) keys.push_back(s.Int(0));
    }
    std::vector<License> out;
    for (int64_t key : keys) out.push_back(LoadLicense(key));
    return out;
  }

  void Import(const std::string& product, const ImportPlan& plan) override {
    Transaction t(c_, Transaction::kWrite);
    const int64_t pid = ProductId(product);
    for (const ImportedSet& set : plan.sets) {
      if (LoadSet(pid, set.name)) throw Refused("set " + set.name + " exists already in product " + product);
      Require(CheckSetName(set.name));
      Require(CheckPairs(set.pairs));
      StoreSet(pid, set.name, set.pairs);
    }
    for (const License& license : plan.licenses) {
      CheckLicense(license);
      InsertLicense(pid, product, license);
    }
    t.Commit();
  }

  // ---- fetches -----------------------------------------------------------

  std::optional<ProductAtPath> ProductAt(const std::string& target) override {
    static constexpr std::string_view kRun = "run/";
    if (target.size() <= kRun.size() || target.compare(target.size() - kRun.size(), kRun.size(), kRun) != 0) {
      return std::nullopt;
    }
    Statement s = c_.Prepare("SELECT id, name FROM products WHERE base_path = ?");
    s.Bind(1, std::string_view(target).substr(0, target.size() - kRun.size()));
    if (!s.Step()) return std::nullopt;
    return ProductAtPath{s.Int(0), s.Text(1)};
  }

  AccountFacts LoadAccount(int64_t pid, const std::string& account,
                           std::chrono::system_clock::time_point now) override {
    Transaction t(c_, Transaction::kRead);
    AccountFacts facts;
    facts.texts = LoadTexts(pid);
    for (int64_t key : LicenseKeysOf(pid, account)) facts.licenses.push_back(LoadHolding(pid, key));
    {
      Statement s = c_.Prepare("SELECT until_day, set_name FROM trials WHERE product_id = ? AND account = ?");
      s.Bind(1, pid).Bind(2, account);
      if (s.Step()) {
        facts.trial.held_until = Date{static_cast<int32_t>(s.Int(0))};
        const std::string set = s.Text(1);
        facts.trial.held_set = LoadSet(pid, set).value_or(Pairs{});
      }
    }
    if (facts.licenses.empty() && !facts.trial.held_until) {
      Statement s = c_.Prepare("SELECT trial_days, trial_set, trial_per_hour FROM products WHERE id = ?");
      s.Bind(1, pid);
      if (s.Step() && s.Int(0) > 0) {
        facts.trial.offer_days = static_cast<int32_t>(s.Int(0));
        const std::string set = s.Text(1);
        const int64_t per_hour = s.Int(2);
        facts.trial.offer_set = LoadSet(pid, set).value_or(Pairs{});
        facts.trial.cap_reached = TrialsStartedSince(pid, ToMicros(now) - 3600LL * 1000000) >= per_hour;
      }
    }
    t.Commit();
    return facts;
  }

  bool StartTrial(int64_t pid, const std::string& account, std::chrono::system_clock::time_point now,
                  Date until) override {
    Transaction t(c_, Transaction::kWrite);
    Statement p = c_.Prepare("SELECT trial_days, trial_set, trial_per_hour FROM products WHERE id = ?");
    p.Bind(1, pid);
    if (!p.Step() || p.Int(0) <= 0) return false;
    const std::string set = p.Text(1);
    const int64_t per_hour = p.Int(2);
    if (!LicenseKeysOf(pid, account).empty()) return false;
    {
      Statement had = c_.Prepare("SELECT 1 FROM trials WHERE product_id = ? AND account = ?");
      had.Bind(1, pid).Bind(2, account);
      if (had.Step()) return false;
    }
    const int64_t now_us = ToMicros(now);
    if (TrialsStartedSince(pid, now_us - 3600LL * 1000000) >= per_hour) return false;
    c_.Prepare("INSERT INTO trials (product_id, account, started_us, until_day, set_name) VALUES (?, ?, ?, ?, ?)")
        .Bind(1, pid)
        .Bind(2, account)
        .Bind(3, now_us)
        .Bind(4, int64_t{until.days})
        .Bind(5, set)
        .Run();
    t.Commit();
    return true;
  }

  // ---- the fetch log -----------------------------------------------------

  void AppendLog(const std::vector<FetchLogRow>& rows) override {
    if (rows.empty()) return;
    Transaction t(c_, Transaction::kWrite);
    for (const FetchLogRow& row : rows) {
      c_.Prepare(
            "INSERT INTO fetch_log (time_us, product, account, account_type, peer, https, status, micros, instance) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)")
          .Bind(1, ToMicros(row.time))
          .Bind(2, std::string_view(row.product).substr(0, 64))
          .Bind(3, std::string_view(row.account).substr(0, kMaxAccountBytes))
          .Bind(4, int64_t{row.account_type})
          .Bind(5, std::string_view(row.peer).substr(0, 64))
          .Bind(6, int64_t{row.https ? 1 : 0})
          .Bind(7, int64_t{row.status})
          .Bind(8, row.micros)
          .Bind(9, std::string_view(row.instance).substr(0, 64))
          .Run();
    }
    t.Commit();
  }

  void AddDroppedRows(uint64_t count) override {
    if (count == 0) return;
    Transaction t(c_, Transaction::kWrite);
    c_.Prepare("UPDATE settings SET value = value + ? WHERE name = 'log_rows_dropped'")
        .Bind(1, static_cast<int64_t>(count))
        .Run();
    t.Commit();
  }

  uint64_t DroppedRows() override { return static_cast<uint64_t>(Setting("log_rows_dropped")); }

  void PruneLog(std::chrono::system_clock::time_point now) override {
    Transaction t(c_, Transaction::kWrite);
    const int64_t days = Setting("log_retention_days");
    const int64_t max_rows = Setting("log_max_rows");
    if (days > 0) {
      c_.Prepare("DELETE FROM fetch_log WHERE time_us < ?").Bind(1, ToMicros(now) - days * 86400LL * 1000000).Run();
    }
    if (max_rows > 0) {
      // Ids grow by one a row and the oldest go first, so the newest
      // max_rows rows are those above max(id) - max_rows.
      c_.Prepare("DELETE FROM fetch_log WHERE id <= (SELECT max(id) FROM fetch_log) - ?").Bind(1, max_rows).Run();
    }
    t.Commit();
  }

  std::vector<FetchLogRow> QueryLog(const LogQuery& q) override {
    Transaction t(c_, Transaction::kRead);
    ProductId(q.product);
    // The latest `limit` rows (or all), oldest first.
    Statement s = c_.Prepare(
        "SELECT time_us, product, account, account_type, peer, https, status, micros, instance FROM ("
        " SELECT * FROM fetch_log WHERE product = ?1 AND (?2 IS NULL OR account = ?2) AND time_us >= ?3 AND time_us < ?5"
        " ORDER BY time_us DESC, id DESC LIMIT ?4) ORDER BY time_us, id");
    s.Bind(1, q.product);
    if (q.account) s.Bind(2, *q.account); else s.BindNull(2);
    s.Bind(3, q.since_micros.value_or(INT64_MIN));
    s.Bind(4, q.limit ? static_cast<int64_t>(q.limit) : int64_t{-1});
    s.Bind(5, q.before_micros.value_or(INT64_MAX));
    std::vector<FetchLogRow> rows;
    while (s.Step()) {
      rows.push_back(LogRowAt(s));
    }
    return rows;
  }

  LogSettings GetLogSettings() override {
    Transaction t(c_, Transaction::kRead);
    LogSettings out;
    out.retention_days = static_cast<int32_t>(Setting("log_retention_days"));
    out.max_rows = Setting("log_max_rows");
    return out;
  }

  void SetLogSettings(const LogSettings& settings) override {
    if (settings.retention_days < 0 || settings.max_rows < 0) throw Refused("retention values must not be negative");
    Transaction t(c_, Transaction::kWrite);
    c_.Prepare("UPDATE settings SET value = ? WHERE name = 'log_retention_days'").Bind(1, int64_t{settings.retention_days}).Run();
    c_.Prepare("UPDATE settings SET value = ? WHERE name = 'log_max_rows'").Bind(1, settings.max_rows).Run();
    t.Commit();
  }

  // ---- backup ------------------------------------------------------------

  // ---- the admin side (sqlite_admin_store.cpp) ---------------------------

  void AddAdmin(const Admin& admin) override { admin_.AddAdmin(admin); }
  void SetAdminPassword(const std::string& name, const std::string& hash) override {
    admin_.SetAdminPassword(name, hash);
  }
  std::optional<Admin> FindAdmin(const std::string& name) override { return admin_.FindAdmin(name); }
  std::vector<Admin> ListAdmins() override { return admin_.ListAdmins(); }
  int64_t AddToken(const ApiToken& token) override { return admin_.AddToken(token); }
  std::optional<ApiToken> FindToken(const std::string& digest) override { return admin_.FindToken(digest); }
  std::vector<ApiToken> ListTokens() override { return admin_.ListTokens(); }
  bool RevokeToken(int64_t id, int64_t now) override { return admin_.RevokeToken(id, now); }
  void NoteTokenUsed(int64_t id, int64_t now) override { admin_.NoteTokenUsed(id, now); }
  void AddSession(const AdminSession& session) override { admin_.AddSession(session); }
  std::optional<AdminSession> FindSession(const std::string& digest, int64_t now) override {
    return admin_.FindSession(digest, now);
  }
  void DeleteSession(const std::string& digest) override { admin_.DeleteSession(digest); }
  int64_t AppendAudit(const AuditRow& row) override { return admin_.AppendAudit(row); }
  std::vector<AuditRow> QueryAudit(const AuditQuery& query) override {
    Transaction t(c_, Transaction::kRead);
    return admin_.QueryAudit(query);
  }
  std::vector<LogStatsRow> LogStats(const std::string& product, int64_t since) override {
    Transaction t(c_, Transaction::kRead);
    ProductId(product);
    return admin_.LogStats(product, since);
  }
  std::map<std::string, FetchLogRow> LastFetches(const std::string& product,
                                                 const std::vector<std::string>& accounts) override {
    Transaction t(c_, Transaction::kRead);
    return admin_.LastFetches(product, accounts);
  }

  void Backup(const std::string& out) override {
    struct stat a, b;
    if (stat(out.c_str(), &b) == 0 && stat(c_.Path().c_str(), &a) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino) {
      throw Refused("the backup would overwrite the database itself: name another file");
    }
    const std::string tmp = out + ".tmp-" + std::to_string(getpid());
    std::remove(tmp.c_str());
    {
      sqlite::Connection dest(tmp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
      sqlite3_backup* backup = sqlite3_backup_init(dest.Raw(), "main", c_.Raw(), "main");
      if (!backup) {
        std::remove(tmp.c_str());
        dest.Fail(sqlite3_errcode(dest.Raw()), "backup");
      }
      // All pages in one step: one read transaction, so one consistent
      // snapshot, while the fetches and other commands go on (WAL).
      const int rc = sqlite3_backup_step(backup, -1);
      sqlite3_backup_finish(backup);
      if (rc != SQLITE_DONE) {
        std::remove(tmp.c_str());
        c_.Fail(rc, "backup");
      }
      dest.Exec("PRAGMA journal_mode=DELETE");
    }
    if (std::rename(tmp.c_str(), out.c_str()) != 0) {
      std::remove(tmp.c_str());
      throw DatabaseUnavailable("cannot write " + out);
    }
  }

 private:
  std::optional<int64_t> FindProductId(const std::string& name) {
    Statement s = c_.Prepare("SELECT id FROM products WHERE name = ?");
    s.Bind(1, name);
    if (!s.Step()) return std::nullopt;
    return s.Int(0);
  }

  int64_t ProductId(const std::string& name) {
    const std::optional<int64_t> id = FindProductId(name);
    if (!id) throw Refused("no product " + name);
    return *id;
  }

  std::map<int, std::string> LoadTexts(int64_t pid) {
    std::map<int, std::string> texts;
    Statement s = c_.Prepare("SELECT status, text FROM product_texts WHERE product_id = ?");
    s.Bind(1, pid);
    while (s.Step()) texts[static_cast<int>(s.Int(0))] = s.Text(1);
    return texts;
  }

  Product LoadProduct(int64_t pid) {
    Product p;
    {
      Statement s = c_.Prepare("SELECT name, base_path, trial_days, trial_set, trial_per_hour FROM products WHERE id = ?");
      s.Bind(1, pid);
      if (!s.Step()) throw Refused("no such product");
      p.name = s.Text(0);
      p.base_path = s.Text(1);
      p.trial.days = static_cast<int32_t>(s.Int(2));
      p.trial.set = s.Text(3);
      p.trial.per_hour = static_cast<uint32_t>(s.Int(4));
    }
    p.texts = LoadTexts(pid);
    return p;
  }

  std::optional<Pairs> LoadSet(int64_t pid, const std::string& name) {
    Statement s = c_.Prepare("SELECT id FROM sets WHERE product_id = ? AND name = ?");
    s.Bind(1, pid).Bind(2, name);
    if (!s.Step()) return std::nullopt;
    Statement pairs = c_.Prepare("SELECT name, value FROM set_pairs WHERE set_id = ? ORDER BY position");
    pairs.Bind(1, s.Int(0));
    Pairs out;
    while (pairs.Step()) out.push_back({pairs.Text(0), pairs.Text(1)});
    return out;
  }

  std::vector<std::string> SetNames(int64_t pid) {
    std::vector<std::string> names;
    Statement s = c_.Prepare("SELECT name FROM sets WHERE product_id = ? ORDER BY name");
    s.Bind(1, pid);
    while (s.Step()) names.push_back(s.Text(0));
    return names;
  }

  void RequireSet(int64_t pid, const std::string& product, const std::string& set) {
    Statement s = c_.Prepare("SELECT 1 FROM sets WHERE product_id = ? AND name = ?");
    s.Bind(1, pid).Bind(2, set);
    if (!s.Step()) throw Refused("product " + product + " has no set " + set + " (set put makes one)");
  }

  void StoreSet(int64_t pid, const std::string& name, const Pairs& pairs) {
    int64_t set_id;
    {
      Statement s = c_.Prepare("SELECT id FROM sets WHERE product_id = ? AND name = ?");
      s.Bind(1, pid).Bind(2, name);
      if (s.Step()) {
        set_id = s.Int(0);
      } else {
        set_id = 0;
      }
    }
    if (set_id == 0) {
      c_.Prepare("INSERT INTO sets (product_id, name, updated_us) VALUES (?, ?, ?)")
          .Bind(1, pid)
          .Bind(2, name)
          .Bind(3, NowMicros())
          .Run();
      set_id = c_.LastInsertId();
    } else {
      c_.Prepare("UPDATE sets SET updated_us = ? WHERE id = ?").Bind(1, NowMicros()).Bind(2, set_id).Run();
      c_.Prepare("DELETE FROM set_pairs WHERE set_id = ?").Bind(1, set_id).Run();
    }
    int64_t position = 0;
    for (const Pair& p : pairs) {
      c_.Prepare("INSERT INTO set_pairs (set_id, position, name, value) VALUES (?, ?, ?, ?)")
          .Bind(1, set_id)
          .Bind(2, position++)
          .Bind(3, p.name)
          .Bind(4, p.value)
          .Run();
    }
  }

  int64_t TrialsStartedSince(int64_t pid, int64_t since_us) {
    Statement s = c_.Prepare("SELECT count(*) FROM trials WHERE product_id = ? AND started_us > ?");
    s.Bind(1, pid).Bind(2, since_us);
    s.Step();
    return s.Int(0);
  }

  int64_t Setting(const char* name) {
    Statement s = c_.Prepare("SELECT value FROM settings WHERE name = ?");
    s.Bind(1, name);
    return s.Step() ? s.Int(0) : 0;
  }

  std::optional<int64_t> FindLicenseKey(int64_t pid, const std::string& id) {
    Statement s = c_.Prepare("SELECT id FROM licenses WHERE product_id = ? AND license_id = ?");
    s.Bind(1, pid).Bind(2, id);
    if (!s.Step()) return std::nullopt;
    return s.Int(0);
  }

  int64_t LicenseKey(int64_t pid, const std::string& product, const std::string& id) {
    const std::optional<int64_t> key = FindLicenseKey(pid, id);
    if (!key) throw Refused("product " + product + " has no license " + id);
    return *key;
  }

  std::vector<int64_t> LicenseKeysOf(int64_t pid, const std::string& account) {
    std::vector<int64_t> keys;
    Statement s = c_.Prepare(
        "SELECT license_key FROM license_accounts WHERE product_id = ? AND account = ? ORDER BY license_key");
    s.Bind(1, pid).Bind(2, account);
    while (s.Step()) keys.push_back(s.Int(0));
    return keys;
  }

  License LoadLicense(int64_t key) {
    License l;
    {
      Statement s = c_.Prepare(
          "SELECT license_id, state, max_accounts, expires_day, types, set_name, note FROM licenses WHERE id = ?");
      s.Bind(1, key);
      if (!s.Step()) throw DatabaseUnavailable("a license vanished while being read");
      l.id = s.Text(0);
      l.state = ParseState(s.Text(1)).value_or(LicenseState::kRevoked);
      l.max_accounts = static_cast<uint32_t>(s.Int(2));
      if (!s.IsNull(3)) l.expires = Date{static_cast<int32_t>(s.Int(3))};
      l.types = ParseTypes(s.Text(4)).value_or(std::vector<int32_t>{});
      l.set = s.Text(5);
      l.note = s.Text(6);
    }
    {
      Statement s = c_.Prepare("SELECT account FROM license_accounts WHERE license_key = ? ORDER BY position");
      s.Bind(1, key);
      while (s.Step()) l.accounts.push_back(s.Text(0));
    }
    {
      Statement s = c_.Prepare("SELECT name, value FROM license_overrides WHERE license_key = ? ORDER BY position");
      s.Bind(1, key);
      while (s.Step()) l.overrides.push_back({s.Text(0), s.Text(1)});
    }
    return l;
  }

  // What a fetch needs of a license (not its accounts, which may be many).
  Holding LoadHolding(int64_t pid, int64_t key) {
    Holding h;
    std::string set;
    {
      Statement s = c_.Prepare("SELECT state, expires_day, types, set_name FROM licenses WHERE id = ?");
      s.Bind(1, key);
      if (!s.Step()) throw DatabaseUnavailable("a license vanished while being read");
      h.state = ParseState(s.Text(0)).value_or(LicenseState::kRevoked);
      if (!s.IsNull(1)) h.expires = Date{static_cast<int32_t>(s.Int(1))};
      h.types = ParseTypes(s.Text(2)).value_or(std::vector<int32_t>{});
      set = s.Text(3);
    }
    {
      Statement s = c_.Prepare("SELECT name, value FROM license_overrides WHERE license_key = ? ORDER BY position");
      s.Bind(1, key);
      while (s.Step()) h.overrides.push_back({s.Text(0), s.Text(1)});
    }
    h.set = LoadSet(pid, set).value_or(Pairs{});
    return h;
  }

  std::vector<License> LicensesOnSet(int64_t pid, const std::string& set) {
    std::vector<int64_t> keys;
    {
      Statement s = c_.Prepare("SELECT id FROM licenses WHERE product_id = ? AND set_name = ?");
      s.Bind(1, pid).Bind(2, set);
      while (s.Step()) keys.push_back(s.Int(0));
    }
    std::vector<License> out;
    for (int64_t key : keys) out.push_back(LoadLicense(key));
    return out;
  }

  // The product-wide rules: the set exists, the overrides fit over it, and
  // no account and type lead to two licenses.
  void CheckInProduct(int64_t pid, const std::string& product, const License& license) {
    std::set<int64_t> keys;
    for (const std::string& account : license.accounts) {
      for (int64_t key : LicenseKeysOf(pid, account)) keys.insert(key);
    }
    std::vector<License> others;
    for (int64_t key : keys) others.push_back(LoadLicense(key));
    pbs::CheckInProduct(product, license, LoadSet(pid, license.set), others);
  }

  void InsertLicense(int64_t pid, const std::string& product, const License& license) {
    if (FindLicenseKey(pid, license.id)) throw Refused("product " + product + " has a license " + license.id + " already");
    CheckInProduct(pid, product, license);
    const int64_t now = NowMicros();
    c_.Prepare(
          "INSERT INTO licenses (product_id, license_id, state, max_accounts, expires_day, types, set_name, note,"
          " created_us, updated_us) VALUES (?, ?, 'active', 1, NULL, 'all', '', '', ?, ?)")
        .Bind(1, pid)
        .Bind(2, license.id)
        .Bind(3, now)
        .Bind(4, now)
        .Run();
    const int64_t key = c_.LastInsertId();
    StoreLicense(key, license);
  }

  void StoreLicense(int64_t key, const License& l) {
    Statement s = c_.Prepare(
        "UPDATE licenses SET state = ?, max_accounts = ?, expires_day = ?, types = ?, set_name = ?, note = ?,"
        " updated_us = ? WHERE id = ?");
    s.Bind(1, StateName(l.state)).Bind(2, int64_t{l.max_accounts});
    if (l.expires) s.Bind(3, int64_t{l.expires->days}); else s.BindNull(3);
    s.Bind(4, FormatTypes(l.types)).Bind(5, l.set).Bind(6, l.note).Bind(7, NowMicros()).Bind(8, key);
    s.Run();
    int64_t pid;
    {
      Statement p = c_.Prepare("SELECT product_id FROM licenses WHERE id = ?");
      p.Bind(1, key);
      p.Step();
      pid = p.Int(0);
    }
    c_.Prepare("DELETE FROM license_accounts WHERE license_key = ?").Bind(1, key).Run();
    int64_t position = 0;
    for (const std::string& account : l.accounts) {
      c_.Prepare("INSERT INTO license_accounts (license_key, product_id, position, account) VALUES (?, ?, ?, ?)")
          .Bind(1, key)
          .Bind(2, pid)
          .Bind(3, position++)
          .Bind(4, account)
          .Run();
    }
    c_.Prepare("DELETE FROM license_overrides WHERE license_key = ?").Bind(1, key).Run();
    position = 0;
    for (const Pair& o : l.overrides) {
      c_.Prepare("INSERT INTO license_overrides (license_key, position, name, value) VALUES (?, ?, ?, ?)")
          .Bind(1, key)
          .Bind(2, position++)
          .Bind(3, o.name)
          .Bind(4, o.value)
          .Run();
    }
  }

  Connection c_;
  sqlite::AdminStore admin_{c_};
};

}  // namespace

std::unique_ptr<Database> OpenSqliteDatabase(const std::string& path, OpenMode mode) {
  if (mode == OpenMode::kExisting && access(path.c_str(), F_OK) != 0) {
    throw NotOurDatabase("no database at " + path + " (parambridge-server --db " + path + " init makes one)");
  }
  return std::make_unique<SqliteDatabase>(path, mode);
}

}  // namespace pbs
