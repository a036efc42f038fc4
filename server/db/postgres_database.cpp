#include "server/db/postgres_database.h"

#include <set>

#include "server/core/dates.h"
#include "server/core/rules.h"
#include "server/db/postgres_admin.h"
#include "server/db/postgres_schema.h"
#include "server/db/postgres_session.h"

namespace pbs {
namespace {

using pg::Result;
using pg::Session;
using pg::TxKind;

int64_t NowMicros() { return ToMicros(std::chrono::system_clock::now()); }

void Require(const Problem& problem) {
  if (problem) throw Refused(*problem);
}

class PostgresDatabase : public Database {
 public:
  PostgresDatabase(const std::string& url, OpenMode mode) : s_(url), admin_(s_) { pg::PrepareDatabase(s_, mode); }

  // ---- products ----------------------------------------------------------

  void AddProduct(const Product& product) override {
    Require(CheckProductName(product.name));
    Require(CheckBasePath(product.base_path));
    s_.Transact(TxKind::kWrite, [&] {
      if (FindProductId(product.name)) throw Refused("product " + product.name + " exists already");
      Result taken = s_.Exec("SELECT name FROM products WHERE base_path = $1", {product.base_path});
      if (taken.Rows()) throw Refused("base path " + product.base_path + " is taken by product " + taken.Text(0, 0));
      s_.Exec("INSERT INTO products (name, base_path, created_us) VALUES ($1, $2, $3)",
              {product.name, product.base_path, NowMicros()});
    });
  }

  Product GetProduct(const std::string& name) override {
    return s_.Transact(TxKind::kRead, [&] { return LoadProduct(ProductId(name)); });
  }

  std::vector<Product> ListProducts() override {
    return s_.Transact(TxKind::kRead, [&] {
      Result r = s_.Exec("SELECT id FROM products ORDER BY name");
      std::vector<Product> out;
      for (int i = 0; i < r.Rows(); ++i) out.push_back(LoadProduct(r.Int(i, 0)));
      return out;
    });
  }

  void SetTrial(const std::string& product, const TrialPolicy& trial) override {
    if (trial.days < 0 || trial.days > 3650) throw Refused("--days must be 0 (no trials) to 3650");
    s_.Transact(TxKind::kWrite, [&] {
      const int64_t pid = ProductId(product);
      if (trial.days > 0) {
        Require(CheckSetName(trial.set));
        RequireSet(pid, product, trial.set);
      }
      s_.Exec("UPDATE products SET trial_days = $1, trial_set = $2, trial_per_hour = $3 WHERE id = $4",
              {int64_t{trial.days}, trial.set, int64_t{trial.per_hour}, pid});
    });
  }

  void SetText(const std::string& product, int status, const std::string& text) override {
    Require(CheckRefusalText(status, text));
    s_.Transact(TxKind::kWrite, [&] {
      const int64_t pid = ProductId(product);
      s_.Exec(
          "INSERT INTO product_texts (product_id, status, text) VALUES ($1, $2, $3)"
          " ON CONFLICT (product_id, status) DO UPDATE SET text = EXCLUDED.text",
          {pid, int64_t{status}, text});
    });
  }

  // ---- sets --------------------------------------------------------------

  void PutSet(const std::string& product, const std::string& set, const Pairs& pairs) override {
    Require(CheckSetName(set));
    Require(CheckPairs(pairs));
    s_.Transact(TxKind::kWrite, [&] {
      const int64_t pid = ProductId(product);
      // Every license on the set must still make a reply the format carries.
      for (const License& license : LicensesOnSet(pid, set)) {
        if (Problem p = CheckPairs(ApplyOverrides(pairs, license.overrides))) {
          throw Refused("with the overrides of license " + license.id + ": " + *p);
        }
      }
      StoreSet(pid, set, pairs);
    });
  }

  Pairs GetSet(const std::string& product, const std::string& set) override {
    return s_.Transact(TxKind::kRead, [&] {
      std::optional<Pairs> pairs = LoadSet(ProductId(product), set);
      if (!pairs) throw Refused("product " + product + " has no set " + set);
      return *pairs;
    });
  }

  std::vector<std::string> ListSets(const std::string& product) override {
    return s_.Transact(TxKind::kRead, [&] { return SetNames(ProductId(product)); });
  }

  // ---- licenses ----------------------------------------------------------

  void AddLicense(const std::string& product, const License& license) override {
    CheckLicense(license);
    s_.Transact(TxKind::kWrite, [&] { InsertLicense(ProductId(product), product, license); });
  }

  License ChangeLicense(const std::string& product, const std::string& id, const LicenseChange& change) override {
    return s_.Transact(TxKind::kWrite, [&] {
      const int64_t pid = ProductId(product);
      const int64_t key = LicenseKey(pid, product, id);
      License license = LoadLicense(key);
      ApplyChange(license, change);
      CheckInProduct(pid, product, license);
      StoreLicense(key, pid, license);
      return license;
    });
  }

  License GetLicense(const std::string& product, const std::string& id) override {
    return s_.Transact(TxKind::kRead, [&] {
      const int64_t pid = ProductId(product);
      return LoadLicense(LicenseKey(pid, product, id));
    });
  }

  std::vector<License> ListLicenses(const std::string& product) override {
    return s_.Transact(TxKind::kRead, [&] {
      Result r = s_.Exec("SELECT id FROM licenses WHERE product_id = $1 ORDER BY id", {ProductId(product)});
      std::vector<License> out;
      for (int i = 0; i < r.Rows(); ++i) out.push_back(LoadLicense(r.Int(i, 0)));
      return out;
    });
  }

  void Import(const std::string& product, const ImportPlan& plan) override {
    s_.Transact(TxKind::kWrite, [&] {
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
    });
  }

  // ---- fetches -----------------------------------------------------------

  std::optional<ProductAtPath> ProductAt(const std::string& target) override {
    static constexpr std::string_view kRun = "run/";
    if (target.size() <= kRun.size() || target.compare(target.size() - kRun.size(), kRun.size(), kRun) != 0) {
      return std::nullopt;
    }
    return s_.Transact(TxKind::kNone, [&]() -> std::optional<ProductAtPath> {
      Result r = s_.Exec("SELECT id, name FROM products WHERE base_path = $1",
                         {std::string_view(target).substr(0, target.size() - kRun.size())});
      if (!r.Rows()) return std::nullopt;
      return ProductAtPath{r.Int(0, 0), r.Text(0, 1)};
    });
  }

  AccountFacts LoadAccount(int64_t pid, const std::string& account,
                           std::chrono::system_clock::time_point now) override {
    return s_.Transact(TxKind::kRead, [&] {
      AccountFacts facts;
      facts.texts = LoadTexts(pid);
      for (int64_t key : LicenseKeysOf(pid, account)) facts.licenses.push_back(LoadHolding(pid, key));
      Result t = s_.Exec("SELECT until_day, set_name FROM trials WHERE product_id = $1 AND account = $2", {pid, account});
      if (t.Rows()) {
        facts.trial.held_until = Date{static_cast<int32_t>(t.Int(0, 0))};
        facts.trial.held_set = LoadSet(pid, t.Text(0, 1)).value_or(Pairs{});
      }
      if (facts.licenses.empty() && !facts.trial.held_until) {
        Result p = s_.Exec("SELECT trial_days, trial_set, trial_per_hour FROM products WHERE id = $1", {pid});
        if (p.Rows() && p.Int(0, 0) > 0) {
          facts.trial.offer_days = static_cast<int32_t>(p.Int(0, 0));
          facts.trial.offer_set = LoadSet(pid, p.Text(0, 1)).value_or(Pairs{});
          facts.trial.cap_reached = TrialsStartedSince(pid, ToMicros(now) - 3600LL * 1000000) >= p.Int(0, 2);
        }
      }
      return facts;
    });
  }

  bool StartTrial(int64_t pid, const std::string& account, std::chrono::system_clock::time_point now,
                  Date until) override {
    return s_.Transact(TxKind::kWrite, [&] {
      Result p = s_.Exec("SELECT trial_days, trial_set, trial_per_hour FROM products WHERE id = $1", {pid});
      if (!p.Rows() || p.Int(0, 0) <= 0) return false;
      if (!LicenseKeysOf(pid, account).empty()) return false;
      if (s_.Exec("SELECT 1 FROM trials WHERE product_id = $1 AND account = $2", {pid, account}).Rows()) return false;
      const int64_t now_us = ToMicros(now);
      if (TrialsStartedSince(pid, now_us - 3600LL * 1000000) >= p.Int(0, 2)) return false;
      s_.Exec("INSERT INTO trials (product_id, account, started_us, until_day, set_name) VALUES ($1, $2, $3, $4, $5)",
              {pid, account, now_us, int64_t{until.days}, p.Text(0, 1)});
      return true;
    });
  }

  // ---- the fetch log -----------------------------------------------------

  void AppendLog(const std::vector<FetchLogRow>& rows) override {
    if (rows.empty()) return;
    s_.Transact(TxKind::kWrite, [&] {
      for (const FetchLogRow& row : rows) {
        s_.Exec(
            "INSERT INTO fetch_log (time_us, product, account, account_type, peer, https, status, micros, instance)"
            " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9)",
            {ToMicros(row.time), std::string_view(row.product).substr(0, 64),
             std::string_view(row.account).substr(0, kMaxAccountBytes), int64_t{row.account_type},
             std::string_view(row.peer).substr(0, 64), int64_t{row.https ? 1 : 0}, int64_t{row.status}, row.micros,
             std::string_view(row.instance).substr(0, 64)});
      }
    });
  }

  void AddDroppedRows(uint64_t count) override {
    if (count == 0) return;
    s_.Transact(TxKind::kWrite, [&] {
      s_.Exec("UPDATE settings SET value = value + $1 WHERE name = 'log_rows_dropped'", {static_cast<int64_t>(count)});
    });
  }

  uint64_t DroppedRows() override {
    return s_.Transact(TxKind::kNone, [&] { return static_cast<uint64_t>(Setting("log_rows_dropped")); });
  }

  void PruneLog(std::chrono::system_clock::time_point now) override {
    s_.Transact(TxKind::kWrite, [&] {
      const int64_t days = Setting("log_retention_days");
      const int64_t max_rows = Setting("log_max_rows");
      if (days > 0) s_.Exec("DELETE FROM fetch_log WHERE time_us < $1", {ToMicros(now) - days * 86400LL * 1000000});
      if (max_rows > 0) {
        // Ids grow with each row and the oldest go first (as in SQLite),
        // so the newest max_rows rows are those above max(id) - max_rows.
        s_.Exec("DELETE FROM fetch_log WHERE id <= (SELECT max(id) FROM fetch_log) - $1", {max_rows});
      }
    });
  }

  std::vector<FetchLogRow> QueryLog(const LogQuery& q) override {
    return s_.Transact(TxKind::kRead, [&] {
      ProductId(q.product);
      // The latest `limit` rows (or all), oldest first.
      Result r = s_.Exec(
          "SELECT time_us, product, account, account_type, peer, https, status, micros, instance FROM ("
          " SELECT * FROM fetch_log WHERE product = $1 AND ($2::text IS NULL OR account = $2) AND time_us >= $3"
          " AND time_us < $5 ORDER BY time_us DESC, id DESC LIMIT $4) AS latest ORDER BY time_us, id",
          {q.product, q.account ? pg::Param(*q.account) : pg::Param(std::nullopt), q.since_micros.value_or(INT64_MIN),
           q.limit ? pg::Param(static_cast<int64_t>(q.limit)) : pg::Param(std::nullopt),
           q.before_micros.value_or(INT64_MAX)});
      std::vector<FetchLogRow> rows;
      for (int i = 0; i < r.Rows(); ++i) rows.push_back(LogRow(r, i));
      return rows;
    });
  }

  LogSettings GetLogSettings() override {
    return s_.Transact(TxKind::kRead, [&] {
      LogSettings out;
      out.retention_days = static_cast<int32_t>(Setting("log_retention_days"));
      out.max_rows = Setting("log_max_rows");
      return out;
    });
  }

  void SetLogSettings(const LogSettings& settings) override {
    if (settings.retention_days < 0 || settings.max_rows < 0) throw Refused("retention values must not be negative");
    s_.Transact(TxKind::kWrite, [&] {
      s_.Exec("UPDATE settings SET value = $1 WHERE name = 'log_retention_days'", {int64_t{settings.retention_days}});
      s_.Exec("UPDATE settings SET value = $1 WHERE name = 'log_max_rows'", {settings.max_rows});
    });
  }

  // ---- the admin side (postgres_admin.h) ---------------------------------

  void AddAdmin(const Admin& a) override { admin_.AddAdmin(a); }
  void SetAdminPassword(const std::string& n, const std::string& h) override { admin_.SetAdminPassword(n, h); }
  std::optional<Admin> FindAdmin(const std::string& n) override { return admin_.FindAdmin(n); }
  std::vector<Admin> ListAdmins() override { return admin_.ListAdmins(); }
  int64_t AddToken(const ApiToken& t) override { return admin_.AddToken(t); }
  std::optional<ApiToken> FindToken(const std::string& d) override { return admin_.FindToken(d); }
  std::vector<ApiToken> ListTokens() override { return admin_.ListTokens(); }
  bool RevokeToken(int64_t id, int64_t now) override { return admin_.RevokeToken(id, now); }
  void NoteTokenUsed(int64_t id, int64_t now) override { admin_.NoteTokenUsed(id, now); }
  void AddSession(const AdminSession& a) override { admin_.AddSession(a); }
  std::optional<AdminSession> FindSession(const std::string& d, int64_t now) override {
    return admin_.FindSession(d, now);
  }
  void DeleteSession(const std::string& d) override { admin_.DeleteSession(d); }
  int64_t AppendAudit(const AuditRow& row) override { return admin_.AppendAudit(row); }
  std::vector<AuditRow> QueryAudit(const AuditQuery& q) override { return admin_.QueryAudit(q); }
  std::vector<LogStatsRow> LogStats(const std::string& product, int64_t since) override {
    return s_.Transact(TxKind::kRead, [&] {
      ProductId(product);
      return admin_.LogStats(product, since);
    });
  }
  std::map<std::string, FetchLogRow> LastFetches(const std::string& product,
                                                 const std::vector<std::string>& accounts) override {
    return s_.Transact(TxKind::kRead, [&] {
      std::map<std::string, FetchLogRow> out;
      for (const std::string& account : accounts) {
        Result r = s_.Exec(
            "SELECT time_us, product, account, account_type, peer, https, status, micros, instance FROM fetch_log"
            " WHERE product = $1 AND account = $2 ORDER BY time_us DESC, id DESC LIMIT 1",
            {product, account});
        if (r.Rows()) out[account] = LogRow(r, 0);
      }
      return out;
    });
  }

  // ---- backup ------------------------------------------------------------

  void Backup(const std::string&) override {
    throw Refused("backup copies SQLite files; for PostgreSQL use pg_dump (pg_dump --format=custom --file=OUT URL), "
                  "which takes one consistent snapshot while the servers run");
  }

 private:
  static FetchLogRow LogRow(const Result& r, int i) {
    FetchLogRow row;
    row.time = FromMicros(r.Int(i, 0));
    row.product = r.Text(i, 1);
    row.account = r.Text(i, 2);
    row.account_type = static_cast<int32_t>(r.Int(i, 3));
    row.peer = r.Text(i, 4);
    row.https = r.Int(i, 5) != 0;
    row.status = static_cast<int>(r.Int(i, 6));
    row.micros = r.Int(i, 7);
    row.instance = r.Text(i, 8);
    return row;
  }

  std::optional<int64_t> FindProductId(const std::string& name) {
    Result r = s_.Exec("SELECT id FROM products WHERE name = $1", {name});
    if (!r.Rows()) return std::nullopt;
    return r.Int(0, 0);
  }

  int64_t ProductId(const std::string& name) {
    const std::optional<int64_t> id = FindProductId(name);
    if (!id) throw Refused("no product " + name);
    return *id;
  }

  std::map<int, std::string> LoadTexts(int64_t pid) {
    std::map<int, std::string> texts;
    Result r = s_.Exec("SELECT status, text FROM product_texts WHERE product_id = $1", {pid});
    for (int i = 0; i < r.Rows(); ++i) texts[static_cast<int>(r.Int(i, 0))] = r.Text(i, 1);
    return texts;
  }

  Product LoadProduct(int64_t pid) {
    Product p;
    Result r = s_.Exec("SELECT name, base_path, trial_days, trial_set, trial_per_hour FROM products WHERE id = $1", {pid});
    if (!r.Rows()) throw Refused("no such product");
    p.name = r.Text(0, 0);
    p.base_path = r.Text(0, 1);
    p.trial.days = static_cast<int32_t>(r.Int(0, 2));
    p.trial.set = r.Text(0, 3);
    p.trial.per_hour = static_cast<uint32_t>(r.Int(0, 4));
    p.texts = LoadTexts(pid);
    return p;
  }

  std::optional<int64_t> SetId(int64_t pid, const std::string& name) {
    Result r = s_.Exec("SELECT id FROM sets WHERE product_id = $1 AND name = $2", {pid, name});
    if (!r.Rows()) return std::nullopt;
    return r.Int(0, 0);
  }

  std::optional<Pairs> LoadSet(int64_t pid, const std::string& name) {
    const std::optional<int64_t> id = SetId(pid, name);
    if (!id) return std::nullopt;
    Result r = s_.Exec("SELECT name, value FROM set_pairs WHERE set_id = $1 ORDER BY position", {*id});
    Pairs out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back({r.Text(i, 0), r.Text(i, 1)});
    return out;
  }

  std::vector<std::string> SetNames(int64_t pid) {
    Result r = s_.Exec("SELECT name FROM sets WHERE product_id = $1 ORDER BY name", {pid});
    std::vector<std::string> names;
    for (int i = 0; i < r.Rows(); ++i) names.push_back(r.Text(i, 0));
    return names;
  }

  void RequireSet(int64_t pid, const std::string& product, const std::string& set) {
    if (!SetId(pid, set)) throw Refused("product " + product + " has no set " + set + " (set put makes one)");
  }

  void StoreSet(int64_t pid, const std::string& name, const Pairs& pairs) {
    int64_t set_id;
    if (const std::optional<int64_t> id = SetId(pid, name)) {
      set_id = *id;
      s_.Exec("UPDATE sets SET updated_us = $1 WHERE id = $2", {NowMicros(), set_id});
      s_.Exec("DELETE FROM set_pairs WHERE set_id = $1", {set_id});
    } else {
      set_id = s_.Exec("INSERT INTO sets (product_id, name, updated_us) VALUES ($1, $2, $3) RETURNING id",
                       {pid, name, NowMicros()})
                   .Int(0, 0);
    }
    int64_t position = 0;
    for (const Pair& p : pairs) {
      s_.Exec("INSERT INTO set_pairs (set_id, position, name, value) VALUES ($1, $2, $3, $4)",
              {set_id, position++, p.name, p.value});
    }
  }

  int64_t TrialsStartedSince(int64_t pid, int64_t since_us) {
    return s_.Exec("SELECT count(*) FROM trials WHERE product_id = $1 AND started_us > $2", {pid, since_us}).Int(0, 0);
  }

  int64_t Setting(const char* name) {
    Result r = s_.Exec("SELECT value FROM settings WHERE name = $1", {name});
    return r.Rows() ? r.Int(0, 0) : 0;
  }

  std::optional<int64_t> FindLicenseKey(int64_t pid, const std::string& id) {
    Result r = s_.Exec("SELECT id FROM licenses WHERE product_id = $1 AND license_id = $2", {pid, id});
    if (!r.Rows()) return std::nullopt;
    return r.Int(0, 0);
  }

  int64_t LicenseKey(int64_t pid, const std::string& product, const std::string& id) {
    const std::optional<int64_t> key = FindLicenseKey(pid, id);
    if (!key) throw Refused("product " + product + " has no license " + id);
    return *key;
  }

  std::vector<int64_t> LicenseKeysOf(int64_t pid, const std::string& account) {
    Result r = s_.Exec(
        "SELECT license_key FROM license_accounts WHERE product_id = $1 AND account = $2 ORDER BY license_key",
        {pid, account});
    std::vector<int64_t> keys;
    for (int i = 0; i < r.Rows(); ++i) keys.push_back(r.Int(i, 0));
    return keys;
  }

  Pairs LoadOverrides(int64_t key) {
    Result r = s_.Exec("SELECT name, value FROM license_overrides WHERE license_key = $1 ORDER BY position", {key});
    Pairs out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back({r.Text(i, 0), r.Text(i, 1)});
    return out;
  }

  License LoadLicense(int64_t key) {
    License l;
    Result r = s_.Exec(
        "SELECT license_id, state, max_accounts, expires_day, types, set_name, note FROM licenses WHERE id = $1", {key});
    if (!r.Rows()) throw DatabaseUnavailable("a license vanished while being read");
    l.id = r.Text(0, 0);
    l.state = ParseState(r.Text(0, 1)).value_or(LicenseState::kRevoked);
    l.max_accounts = static_cast<uint32_t>(r.Int(0, 2));
    if (!r.IsNull(0, 3)) l.expires = Date{static_cast<int32_t>(r.Int(0, 3))};
    l.types = ParseTypes(r.Text(0, 4)).value_or(std::vector<int32_t>{});
    l.set = r.Text(0, 5);
    l.note = r.Text(0, 6);
    Result a = s_.Exec("SELECT account FROM license_accounts WHERE license_key = $1 ORDER BY position", {key});
    for (int i = 0; i < a.Rows(); ++i) l.accounts.push_back(a.Text(i, 0));
    l.overrides = LoadOverrides(key);
    return l;
  }

  // What a fetch needs of a license (not its accounts, which may be many).
  Holding LoadHolding(int64_t pid, int64_t key) {
    Holding h;
    Result r = s_.Exec("SELECT state, expires_day, types, set_name FROM licenses WHERE id = $1", {key});
    if (!r.Rows()) throw DatabaseUnavailable("a license vanished while being read");
    h.state = ParseState(r.Text(0, 0)).value_or(LicenseState::kRevoked);
    if (!r.IsNull(0, 1)) h.expires = Date{static_cast<int32_t>(r.Int(0, 1))};
    h.types = ParseTypes(r.Text(0, 2)).value_or(std::vector<int32_t>{});
    h.overrides = LoadOverrides(key);
    h.set = LoadSet(pid, r.Text(0, 3)).value_or(Pairs{});
    return h;
  }

  std::vector<License> LicensesOnSet(int64_t pid, const std::string& set) {
    Result r = s_.Exec("SELECT id FROM licenses WHERE product_id = $1 AND set_name = $2", {pid, set});
    std::vector<License> out;
    for (int i = 0; i < r.Rows(); ++i) out.push_back(LoadLicense(r.Int(i, 0)));
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
    const int64_t key = s_.Exec(
                              "INSERT INTO licenses (product_id, license_id, state, max_accounts, expires_day, types,"
                              " set_name, note, created_us, updated_us)"
                              " VALUES ($1, $2, 'active', 1, NULL, 'all', '', '', $3, $3) RETURNING id",
                              {pid, license.id, now})
                            .Int(0, 0);
    StoreLicense(key, pid, license);
  }

  void StoreLicense(int64_t key, int64_t pid, const License& l) {
    s_.Exec(
        "UPDATE licenses SET state = $1, max_accounts = $2, expires_day = $3, types = $4, set_name = $5, note = $6,"
        " updated_us = $7 WHERE id = $8",
        {StateName(l.state), int64_t{l.max_accounts},
         l.expires ? pg::Param(int64_t{l.expires->days}) : pg::Param(std::nullopt), FormatTypes(l.types), l.set,
         l.note, NowMicros(), key});
    s_.Exec("DELETE FROM license_accounts WHERE license_key = $1", {key});
    int64_t position = 0;
    for (const std::string& account : l.accounts) {
      s_.Exec("INSERT INTO license_accounts (license_key, product_id, position, account) VALUES ($1, $2, $3, $4)",
              {key, pid, position++, account});
    }
    s_.Exec("DELETE FROM license_overrides WHERE license_key = $1", {key});
    position = 0;
    for (const Pair& o : l.overrides) {
      s_.Exec("INSERT INTO license_overrides (license_key, position, name, value) VALUES ($1, $2, $3, $4)",
              {key, position++, o.name, o.value});
    }
  }

  Session s_;
  pg::AdminStore admin_;
};

}  // namespace

bool IsPostgresLocation(const std::string& location) {
  return location.rfind("postgresql://", 0) == 0 || location.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Database> OpenPostgresDatabase(const std::string& url, OpenMode mode) {
  return std::make_unique<PostgresDatabase>(url, mode);
}

}  // namespace pbs
