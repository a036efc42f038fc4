#include "server/db/database_fetch_service.h"

#include "server/core/decision.h"
#include "server/core/reply.h"
#include "server/core/request.h"

namespace pbs {
namespace {

FetchAnswer Refusal(int http_status, int status, const std::string& product) {
  FetchAnswer a;
  a.http_status = http_status;
  a.status = status;
  a.product = product;
  a.body = EncodeReply(RefusalPairs(status, RefusalText({}, status, std::nullopt)));
  return a;
}

}  // namespace

FetchAnswer DatabaseFetchService::Answer(const FetchInput& in) {
  try {
    const std::optional<ProductAtPath> product = db_->ProductAt(in.target);
    const std::string name = product ? product->name : std::string();
    if (in.method != "POST") return Refusal(405, kBadMethod, name);
    if (!product) return Refusal(404, kUnknownPath, name);
    const std::optional<FetchRequest> request = ParseFetchBody(in.body);
    if (!request) return Refusal(200, kMalformed, name);

    AccountFacts facts = db_->LoadAccount(product->key, request->account, in.received);
    Decision d = Decide(facts.licenses, facts.trial, facts.texts, request->account, request->account_type, in.received);
    if (d.new_trial_until && !db_->StartTrial(product->key, request->account, in.received, *d.new_trial_until)) {
      // Another fetch, a command or the hourly cap was first: decide again
      // on what the database holds now, without starting a trial.
      facts = db_->LoadAccount(product->key, request->account, in.received);
      facts.trial.offer_days = 0;
      d = Decide(facts.licenses, facts.trial, facts.texts, request->account, request->account_type, in.received);
    }
    FetchAnswer a;
    a.http_status = 200;
    a.status = d.status;
    a.product = name;
    a.account = request->account;
    a.account_type = request->account_type;
    a.body = EncodeReply(d.reply);
    return a;
  } catch (const DatabaseUnavailable&) {
    throw;
  } catch (const std::exception& e) {
    throw DatabaseUnavailable(e.what());
  }
}

void DatabaseFetchService::WriteLog(const std::vector<FetchLogRow>& rows) {
  try {
    db_->AppendLog(rows);
  } catch (const DatabaseUnavailable&) {
    throw;
  } catch (const std::exception& e) {
    throw DatabaseUnavailable(e.what());
  }
  // The rows are kept: a prune that fails now is tried again next time.
  const auto now = std::chrono::steady_clock::now();
  if (!pruned_ || now - last_prune_ >= std::chrono::minutes(1)) {
    pruned_ = true;
    last_prune_ = now;
    try {
      db_->PruneLog(std::chrono::system_clock::now());
    } catch (const std::exception&) {
      pruned_ = false;
    }
  }
}

void DatabaseFetchService::NoteDroppedRows(uint64_t count) {
  try {
    db_->AddDroppedRows(count);
  } catch (const DatabaseUnavailable&) {
    throw;
  } catch (const std::exception& e) {
    throw DatabaseUnavailable(e.what());
  }
}

std::function<std::unique_ptr<FetchService>()> MakeFetchServiceFactory(const std::string& location) {
  return [location]() -> std::unique_ptr<FetchService> {
    try {
      return std::make_unique<DatabaseFetchService>(OpenDatabase(location, OpenMode::kExisting));
    } catch (const DatabaseUnavailable&) {
      throw;
    } catch (const std::exception& e) {
      throw DatabaseUnavailable(e.what());
    }
  };
}

}  // namespace pbs
