#include "server/net/db_pool.h"

#include <exception>
#include <memory>

#include "server/net/notice.h"

namespace pbs {

DbPool::DbPool(std::size_t queue_limit, Metrics& metrics)
    : queue_limit_(queue_limit), metrics_(metrics) {}

DbPool::~DbPool() { Stop(); }

bool DbPool::Start(unsigned threads, const FetchServiceFactory& factory, std::string& error) {
  if (threads == 0) threads = 1;
  for (unsigned i = 0; i < threads; ++i) {
    threads_.emplace_back([this, &factory] { Loop(factory); });
  }
  std::unique_lock<std::mutex> lock(mutex_);
  started_.wait(lock, [&] { return ready_ + failed_ == threads; });
  if (failed_ == 0) return true;
  error = start_error_;
  lock.unlock();
  Stop();
  return false;
}

bool DbPool::TrySubmit(Job job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || queue_.size() >= queue_limit_) return false;
    queue_.push_back(std::move(job));
    metrics_.queue_depth.store(static_cast<int64_t>(queue_.size()));
  }
  wake_.notify_one();
  return true;
}

void DbPool::Stop() {
  std::deque<Job> unrun;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    unrun.swap(queue_);
    metrics_.queue_depth.store(0);
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
  threads_.clear();
  // `unrun` goes here, outside the lock: its jobs may own sessions.
}

std::unique_ptr<FetchService> MakeService(const FetchServiceFactory& factory, std::string& failure) {
  try {
    std::unique_ptr<FetchService> service = factory();
    if (!service) failure = "the database could not be opened";
    return service;
  } catch (const std::exception& e) {
    failure = e.what();
  } catch (...) {
    failure = "the database could not be opened";
  }
  return nullptr;
}

void DbPool::Loop(const FetchServiceFactory& factory) {
  std::string failure;
  std::unique_ptr<FetchService> service = MakeService(factory, failure);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failure.empty()) {
      ++ready_;
    } else {
      ++failed_;
      if (start_error_.empty()) start_error_ = failure;
    }
  }
  started_.notify_all();
  if (!service) return;

  static Notice stray(std::chrono::seconds(10));
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return stopping_ || !queue_.empty(); });
      if (stopping_) break;
      job = std::move(queue_.front());
      queue_.pop_front();
      metrics_.queue_depth.store(static_cast<int64_t>(queue_.size()));
    }
    try {
      job(*service);
    } catch (const std::exception& e) {
      stray.Say(std::string("database thread: ") + e.what());
    } catch (...) {
      stray.Say("database thread: an unknown exception");
    }
  }
  // The service is destroyed on the thread that made it.
}

}  // namespace pbs
