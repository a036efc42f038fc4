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
  std::size_t limit = 0;   // 0: every row; else the latest `limit`
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
