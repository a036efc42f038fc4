// The fetch log's writer: one thread with its own FetchService takes rows off
// a bounded queue in batches and hands each batch to WriteLog. Replies never
// wait for it: Push only takes a lock and appends. A row that finds the queue
// full, or whose batch the database refused after the retries, is counted in
// Metrics::log_rows_dropped, and the writer hands that count to
// FetchService::NoteDroppedRows after its next batch (kept until a call
// succeeds); written rows are counted in Metrics::log_rows_written.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/net/metrics.h"
#include "server/net/serve.h"

namespace pbs {

class LogWriter {
 public:
  struct Tuning {
    std::size_t max_batch = 1000;                    // rows per WriteLog call
    std::chrono::milliseconds gather{50};            // wait for more rows after the first
    std::vector<std::chrono::milliseconds> retries = {std::chrono::milliseconds(200),
                                                      std::chrono::milliseconds(1000)};
  };

  LogWriter(std::size_t queue_limit, Metrics& metrics, Tuning tuning);
  ~LogWriter();  // Stop()
  LogWriter(const LogWriter&) = delete;
  LogWriter& operator=(const LogWriter&) = delete;

  // Starts the thread, which calls the factory first. False and `error` set
  // when the factory threw or returned null.
  bool Start(const FetchServiceFactory& factory, std::string& error);

  // Queues one row; the account is cut to 256 bytes. Never blocks on the
  // database, never throws.
  void Push(FetchLogRow row) noexcept;

  // Writes every queued row, then joins the thread.
  // Rows pushed afterwards are dropped.
  void Stop();

 private:
  void Loop(std::unique_ptr<FetchService> service);
  bool Write(FetchService& service, const std::vector<FetchLogRow>& rows);
  void Drop(uint64_t rows);
  void ReportDrops(FetchService& service);

  const std::size_t queue_limit_;
  Metrics& metrics_;
  const Tuning tuning_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<FetchLogRow> queue_;
  bool stopping_ = false;
  std::atomic<uint64_t> unreported_drops_{0};
  bool failing_ = false;  // the last batch failed every try (writer thread only)  // dropped, not yet told to the database
  std::thread thread_;
};

}  // namespace pbs
