// params/worker.h on std::thread, for the native tests: ids are numbered
// from 1, a handle shares the record of its thread, and a thread counts as
// ended once its procedure has returned.
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "params/worker.h"
#include "tests/native/std_worker.h"

namespace pb::worker {
namespace {

struct Record {
  std::mutex m;
  std::condition_variable cv;
  bool ended = false;
};
using Shared = std::shared_ptr<Record>;

std::mutex g_registryLock;
std::map<std::uint32_t, Shared> g_live;  // threads made by Start, until they end
std::uint32_t g_lastId = 0;              // under g_registryLock

std::uint32_t NewId() {
  std::lock_guard<std::mutex> hold(g_registryLock);
  return ++g_lastId;
}

thread_local std::uint32_t t_id = 0;

std::atomic<int> g_opens{0};

}  // namespace

Handle Start(Proc proc, void* arg) noexcept {
  try {
    auto record = std::make_shared<Record>();
    const std::uint32_t id = NewId();
    {
      std::lock_guard<std::mutex> hold(g_registryLock);
      g_live[id] = record;
    }
    auto* handle = new Shared(record);
    std::thread([proc, arg, id, record] {
      t_id = id;
      proc(arg);
      {
        std::lock_guard<std::mutex> hold(g_registryLock);
        g_live.erase(id);
      }
      std::lock_guard<std::mutex> hold(record->m);
      record->ended = true;
      record->cv.notify_all();
    }).detach();
    return handle;
  } catch (...) {
    return nullptr;
  }
}

std::uint32_t CurrentId() noexcept {
  if (t_id == 0) t_id = NewId();
  return t_id;
}

Handle Open(std::uint32_t id) noexcept {
  ++g_opens;
  std::lock_guard<std::mutex> hold(g_registryLock);
  const auto it = g_live.find(id);
  return it == g_live.end() ? nullptr : new Shared(it->second);
}

void Join(Handle h) noexcept {
  auto* shared = static_cast<Shared*>(h);
  {
    std::unique_lock<std::mutex> hold((*shared)->m);
    (*shared)->cv.wait(hold, [&] { return (*shared)->ended; });
  }
  delete shared;
}

bool WaitFor(Handle h, std::uint32_t ms) noexcept {
  auto* shared = static_cast<Shared*>(h);
  std::unique_lock<std::mutex> hold((*shared)->m);
  return (*shared)->cv.wait_for(hold, std::chrono::milliseconds(ms), [&] { return (*shared)->ended; });
}

void Release(Handle h) noexcept { delete static_cast<Shared*>(h); }

void Pause() noexcept { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }

}  // namespace pb::worker

int pbtest::WorkerOpens() { return pb::worker::g_opens; }
