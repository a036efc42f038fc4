// The database behind the command line and the fetches. An interface, so
// that another engine can be added in server/db/ alone; SQLite is the one
// built in (sqlite_database.cpp). Every call may block.
//
// Failures: a broken rule throws Refused (server/core/model.h), a file that
// is not one of our databases (or is newer than this program) NotOurDatabase,
// and an engine that cannot answer now (busy past the wait, I/O error, disk
// full) DatabaseUnavailable (server/app/fetch_service.h): nothing changed.
#pragma once

#include <chrono>
#include <map>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/app/fetch_service.h"
#include "server/core/decision.h"
#include "server/core/import.h"
#include "server/core/license_rules.h"
#include "server/core/model.h"

namespace pbs {

struct NotOurDatabase : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a fetch needs of the product served at one path.
struct ProductAtPath {
  int64_t key = 0;   // the engine's own handle of the product
  std::string name;
};

// What decides a fetch for one account, read as one consistent snapshot.
struct AccountFacts {
  std::vector<Holding> licenses;   // every license of the product the account is on
  TrialFacts trial;
  std::map<int, std::string> texts;
};

struct LogQuery {
  std::string product;
  std::optional<std::string> account;
  std::optional<int64_t> since_micros;
  std::optional<int64_t> before_micros;   // only rows strictly older (a page's cursor)
  std::size_t limit = 0;   // 0: every row; else the latest `limit`
};

// ---- The admin side (the dashboard and the API): who may sign in, the API
// tokens, the dashboard's sessions and the audit log of every change.

// What a credential may do: kRead reads; kRevoke reads, suspends and
// revokes; kFull does everything.
enum class Scope { kRead, kRevoke, kFull };

// "read", "revoke", "full": as the command line, the API and the databases
// spell them. ParseScope: none for any other text.
const char* ScopeName(Scope scope);
std::optional<Scope> ParseScope(const std::string& text);

struct Admin {
  std::string name;
  std::string password_hash;   // an Argon2id string (libsodium's crypto_pwhash_str)
  int64_t created_micros = 0;
};

struct ApiToken {
  int64_t id = 0;               // assigned by AddToken
  std::string admin;            // the admin it acts for
  std::string label;
  Scope scope = Scope::kRead;
  std::string digest;           // hex SHA-256 of the secret; the secret is never stored
  int64_t created_micros = 0;
  std::optional<int64_t> revoked_micros;
  std::optional<int64_t> last_used_micros;
};

struct AdminSession {
  std::string digest;           // hex SHA-256 of the cookie's secret
  std::string admin;
  std::string csrf;             // the token every change from the pages sends back
  std::string peer;
  int64_t created_micros = 0;
  int64_t expires_micros = 0;
};

struct AuditRow {
  int64_t id = 0;               // assigned by AppendAudit, increasing
  int64_t time_micros = 0;
  std::string actor;            // the admin's name; the system user for the command line
  std::string via;              // "session", "token:<id>" or "cli"
  std::string peer;             // the client's address; empty for the command line
  std::string action;           // e.g. "license.revoke", "set.put", "admin.add"
  std::string product;          // empty when the change is of no product
  std::string subject;          // the license id, set name, admin name or token id
  std::string detail;           // a short JSON text of what changed
};

struct AuditQuery {
  std::optional<std::string> product;
  std::optional<int64_t> before_id;   // a page's cursor: only rows with a smaller id
  std::size_t limit = 100;            // newest first
};

// Fetches per hour and status of one product, for the charts.
struct LogStatsRow {
  int64_t hour_micros = 0;   // the hour's start (UTC)
  int status = 0;
  uint64_t count = 0;
};

struct LogSettings {
  int32_t retention_days = 90;     // rows older than this are deleted; 0: kept by age
  int64_t max_rows = 1000000;      // the oldest beyond this are deleted; 0: no cap
};

class Database {
 public:
  virtual ~Database() = default;

  virtual void AddProduct(const Product& product) = 0;
  virtual Product GetProduct(const std::string& name) = 0;
  virtual std::vector<Product> ListProducts() = 0;
  virtual void SetTrial(const std::string& product, const TrialPolicy& trial) = 0;
  virtual void SetText(const std::string& product, int status, const std::string& text) = 0;

  // Creates or replaces the set (its pairs in order).
  virtual void PutSet(const std::string& product, const std::string& set, const Pairs& pairs) = 0;
  virtual Pairs GetSet(const std::string& product, const std::string& set) = 0;
  virtual std::vector<std::string> ListSets(const std::string& product) = 0;

  virtual void AddLicense(const std::string& product, const License& license) = 0;
  // Loads, applies the change (license_rules.h), checks and stores it in
  // one transaction; returns the license as stored.
  virtual License ChangeLicense(const std::string& product, const std::string& id, const LicenseChange& change) = 0;
  virtual License GetLicense(const std::string& product, const std::string& id) = 0;
  virtual std::vector<License> ListLicenses(const std::string& product) = 0;
  // All of the plan or nothing.
  virtual void Import(const std::string& product, const ImportPlan& plan) = 0;

  // The product whose base path plus "run/" is `target`.
  virtual std::optional<ProductAtPath> ProductAt(const std::string& target) = 0;
  virtual AccountFacts LoadAccount(int64_t product_key, const std::string& account,
                                   std::chrono::system_clock::time_point now) = 0;
  // Starts the account's trial through `until` with the product's trial set,
  // unless it ever had one, is on a license now, trials are off or this
  // hour's cap is used up (checked again here, in one transaction). True
  // when this call started it.
  virtual bool StartTrial(int64_t product_key, const std::string& account,
                          std::chrono::system_clock::time_point now, Date until) = 0;

  virtual void AppendLog(const std::vector<FetchLogRow>& rows) = 0;
  virtual void AddDroppedRows(uint64_t count) = 0;
  virtual uint64_t DroppedRows() = 0;
  // Deletes what the log settings no longer keep.
  virtual void PruneLog(std::chrono::system_clock::time_point now) = 0;
  virtual std::vector<FetchLogRow> QueryLog(const LogQuery& query) = 0;
  virtual LogSettings GetLogSettings() = 0;
  virtual void SetLogSettings(const LogSettings& settings) = 0;

  // The admin side. AddAdmin refuses (Refused) a name that exists;
  // SetAdminPassword one that does not.
  virtual void AddAdmin(const Admin& admin) = 0;
  virtual void SetAdminPassword(const std::string& name, const std::string& password_hash) = 0;
  virtual std::optional<Admin> FindAdmin(const std::string& name) = 0;
  virtual std::vector<Admin> ListAdmins() = 0;
  // Stores the token (its id ignored) and returns its new id. Refused for
  // an unknown admin.
  virtual int64_t AddToken(const ApiToken& token) = 0;
  // By the secret's digest; revoked tokens too (the caller refuses them).
  virtual std::optional<ApiToken> FindToken(const std::string& digest) = 0;
  virtual std::vector<ApiToken> ListTokens() = 0;
  // False for an unknown id; a token revoked twice keeps its first time.
  virtual bool RevokeToken(int64_t id, int64_t now_micros) = 0;
  virtual void NoteTokenUsed(int64_t id, int64_t now_micros) = 0;
  virtual void AddSession(const AdminSession& session) = 0;
  // None when unknown or expired at `now_micros`.
  virtual std::optional<AdminSession> FindSession(const std::string& digest, int64_t now_micros) = 0;
  virtual void DeleteSession(const std::string& digest) = 0;
  // Sets the row's id and time as stored (time: as given).
  virtual int64_t AppendAudit(const AuditRow& row) = 0;
  virtual std::vector<AuditRow> QueryAudit(const AuditQuery& query) = 0;
  // Counts of the product's fetch log rows at or after `since_micros`, by
  // hour and status, oldest hour first.
  virtual std::vector<LogStatsRow> LogStats(const std::string& product, int64_t since_micros) = 0;
  // The latest fetch log row of each account given (accounts never seen are
  // left out).
  virtual std::map<std::string, FetchLogRow> LastFetches(const std::string& product,
                                                         const std::vector<std::string>& accounts) = 0;

  // A consistent copy of the whole database in `out` (replaced whole, or
  // left as it was), taken while others read and write.
  virtual void Backup(const std::string& out) = 0;
};

enum class OpenMode {
  kCreate,     // init: a new or empty file becomes a database
  kExisting,   // everything else: the database must exist
};

// Opens the database at `location` (a file path for SQLite), migrating its
// schema forward. Throws NotOurDatabase (also for a missing file with
// kExisting, and a schema newer than this program) or DatabaseUnavailable.
std::unique_ptr<Database> OpenDatabase(const std::string& location, OpenMode mode);

}  // namespace pbs
