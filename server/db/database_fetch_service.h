// The FetchService over a Database: the path, the method, the body, then the
// license decision, for each fetch from what the database holds at that
// moment (nothing is cached between fetches, so a command's change reaches
// the very next one).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "server/app/fetch_service.h"
#include "server/db/database.h"

namespace pbs {

class DatabaseFetchService : public FetchService {
 public:
  explicit DatabaseFetchService(std::unique_ptr<Database> db) : db_(std::move(db)) {}

  // 405 (HTTP 405) for any method but POST, then 404 (HTTP 404) for a
  // target that is no product's base path plus "run/", then 400 for a body
  // ParseFetchBody refuses, then Decide; a decision that starts a trial is
  // stored before it is answered. Any failure of the database throws
  // DatabaseUnavailable: never a decision.
  FetchAnswer Answer(const FetchInput& in) override;

  // One transaction; the retention settings are applied at most once a
  // minute (of this instance).
  void WriteLog(const std::vector<FetchLogRow>& rows) override;
  void NoteDroppedRows(uint64_t count) override;

 private:
  std::unique_ptr<Database> db_;
  std::chrono::steady_clock::time_point last_prune_{};
  bool pruned_ = false;
};

// Opens one connection to the database at `location` per service made.
// (The factory that pbs::RunServe takes.)
std::function<std::unique_ptr<FetchService>()> MakeFetchServiceFactory(const std::string& location);

}  // namespace pbs
