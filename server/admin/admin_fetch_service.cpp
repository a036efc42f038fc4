#include "server/admin/admin_fetch_service.h"

#include "server/admin/credentials.h"
#include "server/db/database_fetch_service.h"

namespace pbs::admin {
namespace {

class ServiceWithAdmin : public FetchService {
 public:
  ServiceWithAdmin(std::unique_ptr<FetchService> fetch, std::unique_ptr<Database> db,
                   std::shared_ptr<SignInLimiter> limiter)
      : fetch_(std::move(fetch)), db_(std::move(db)), api_(*db_, std::move(limiter)) {}

  FetchAnswer Answer(const FetchInput& in) override { return fetch_->Answer(in); }
  void WriteLog(const std::vector<FetchLogRow>& rows) override { fetch_->WriteLog(rows); }
  void NoteDroppedRows(uint64_t count) override { fetch_->NoteDroppedRows(count); }
  AdminService* Admin() override { return &api_; }

 private:
  std::unique_ptr<FetchService> fetch_;
  std::unique_ptr<Database> db_;
  AdminApi api_;
};

}  // namespace

std::function<std::unique_ptr<FetchService>()> MakeServiceFactoryWithAdmin(const std::string& location) {
  InitCrypto();
  auto fetch_factory = MakeFetchServiceFactory(location);
  auto limiter = std::make_shared<SignInLimiter>();
  return [fetch_factory, limiter, location]() -> std::unique_ptr<FetchService> {
    return std::make_unique<ServiceWithAdmin>(fetch_factory(), OpenDatabase(location, OpenMode::kExisting), limiter);
  };
}

}  // namespace pbs::admin
