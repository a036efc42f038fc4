#include "server/net/log_writer.h"

#include <exception>
#include <future>
#include <memory>

#include "server/net/db_pool.h"
#include "server/net/notice.h"

namespace pbs {

namespace {
constexpr std::size_t kAccountKept = 256;
}

LogWriter::LogWriter(std::size_t queue_limit, Metrics& metrics, Tuning tuning)
    : queue_limit_(queue_limit), metrics_(metrics), tuning_(std::move(tuning)) {}

LogWriter::~LogWriter() { Stop(); }

bool LogWriter::Start(const FetchServiceFactory& factory, std::string& error) {
  std::promise<std::string> started;
  std::future<std::string> outcome = started.get_future();
  thread_ = std::thread([this, &factory, &started] {
    std::string failure;
    std::unique_ptr<FetchService> service = MakeService(factory, failure);
    started.set_value(failure);
    if (service) Loop(std::move(service));
  });
  error = outcome.get();
  if (error.empty()) return true;
  thread_.join();
  return false;
}

void LogWriter::Push(FetchLogRow row) noexcept {
  try {
    if (row.account.size() > kAccountKept) row.account.resize(kAccountKept);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!stopping_ && queue_.size() < queue_limit_) {
        queue_.push_back(std::move(row));
        metrics_.log_queue_depth.store(static_cast<int64_t>(queue_.size()));
        if (queue_.size() == 1 || queue_.size() == tuning_.max_batch) wake_.notify_one();
        return;
      }
    }
  } catch (...) {
    // Out of memory for one row: it is dropped like a row that found no room.
  }
  Drop(1);
}

void LogWriter::Drop(uint64_t rows) {
  metrics_.log_rows_dropped.fetch_add(rows);
  unreported_drops_.fetch_add(rows);
}

void LogWriter::ReportDrops(FetchService& service) {
  const uint64_t rows = unreported_drops_.load();
  if (rows == 0) return;
  try {
    service.NoteDroppedRows(rows);
    unreported_drops_.fetch_sub(rows);
  } catch (...) {
    // Kept for the next batch; the rows themselves are counted already.
  }
}

void LogWriter::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  // Rows left when the thread never ran (its service could not be made).
  std::lock_guard<std::mutex> lock(mutex_);
  Drop(queue_.size());
  queue_.clear();
  metrics_.log_queue_depth.store(0);
}

void LogWriter::Loop(std::unique_ptr<FetchService> service) {
  std::vector<FetchLogRow> batch;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      // A moment for more rows, so that a busy minute is a few transactions.
      if (!stopping_ && queue_.size() < tuning_.max_batch) {
        wake_.wait_for(lock, tuning_.gather,
                       [&] { return stopping_ || queue_.size() >= tuning_.max_batch; });
      }
      if (queue_.empty()) {
        if (stopping_) break;
        continue;
      }
      const std::size_t take = std::min(queue_.size(), tuning_.max_batch);
      batch.assign(std::make_move_iterator(queue_.begin()),
                   std::make_move_iterator(queue_.begin() + static_cast<std::ptrdiff_t>(take)));
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(take));
      metrics_.log_queue_depth.store(static_cast<int64_t>(queue_.size()));
    }
    if (Write(*service, batch)) {
      metrics_.log_rows_written.fetch_add(batch.size());
    } else {
      Drop(batch.size());
    }
    batch.clear();
    ReportDrops(*service);
  }
  ReportDrops(*service);
}

bool LogWriter::Write(FetchService& service, const std::vector<FetchLogRow>& rows) {
  static Notice refused(std::chrono::seconds(60));
  // After a batch that failed every try, the database is down: one try
  // each until a write succeeds, so that an outage never makes a stop wait
  // for the retries of every batch.
  const std::size_t attempts = failing_ ? 1 : tuning_.retries.size() + 1;
  for (std::size_t attempt = 0; attempt < attempts; ++attempt) {
    // A stop waits too: a database locked for a moment at the stop should
    // still get the last rows.
    if (attempt > 0) std::this_thread::sleep_for(tuning_.retries[attempt - 1]);
    try {
      service.WriteLog(rows);
      failing_ = false;
      return true;
    } catch (const DatabaseUnavailable& e) {
      refused.Say(std::string("fetch log: the database refused rows: ") + e.what());
    } catch (const std::exception& e) {
      refused.Say(std::string("fetch log: rows not kept: ") + e.what());
    } catch (...) {
      refused.Say("fetch log: rows not kept: an unknown exception");
    }
  }
  failing_ = true;
  return false;
}

}  // namespace pbs
