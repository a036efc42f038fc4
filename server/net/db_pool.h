// The database threads: each owns a FetchService made by the factory on that
// thread, and runs jobs from one bounded queue. Network threads only submit;
// a full queue is refused at once, never waited for.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "server/net/metrics.h"
#include "server/net/serve.h"

namespace pbs {

// Calls `factory` on this thread: the service, or null with `failure` saying
// why (a factory that throws or gives null).
std::unique_ptr<FetchService> MakeService(const FetchServiceFactory& factory, std::string& failure);

class DbPool {
 public:
  // Runs on a database thread; must not throw (a throw is caught and said).
  using Job = std::function<void(FetchService&)>;

  DbPool(std::size_t queue_limit, Metrics& metrics);
  ~DbPool();  // Stop()
  DbPool(const DbPool&) = delete;
  DbPool& operator=(const DbPool&) = delete;

  // Starts `threads` threads (at least 1) and waits until each has its
  // service. False and `error` set when a factory threw or returned null
  // (the threads are stopped again).
  bool Start(unsigned threads, const FetchServiceFactory& factory, std::string& error);

  // Queues a job. False when the queue holds queue_limit jobs or the pool is
  // stopping; the job is then dropped unrun.
  bool TrySubmit(Job job);

  // Drops the jobs still queued (unrun), waits for the running ones, joins.
  void Stop();

 private:
  void Loop(const FetchServiceFactory& factory);

  const std::size_t queue_limit_;
  Metrics& metrics_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable started_;
  std::deque<Job> queue_;
  bool stopping_ = false;
  unsigned ready_ = 0;
  unsigned failed_ = 0;
  std::string start_error_;
  std::vector<std::thread> threads_;
};

}  // namespace pbs
