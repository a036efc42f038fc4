// LoadParameters: start the exchange on a worker thread, or wait for the one
// in flight. Callers take no lock: the only shared state is one atomic word,
// which a caller only reads, and each waiting caller holds its own handle on
// the worker. A caller ended at any instruction leaves at most a leaked
// request block or handle behind, never something another thread waits for.
#include <atomic>
#include <cstdint>
#include <new>
#include <string>

#include "params/fetch.h"
#include "params/store.h"
#include "params/worker.h"

namespace pb {
namespace {

// The id of the worker whose exchange is in flight; 0 when none is. Set by
// a worker that claims the exchange, cleared by that worker only.
std::atomic<std::uint32_t> g_inFlight{0};

// One caller's request, handed to the worker it starts. The caller frees it
// once the worker has ended; a caller ended first leaks it.
struct Request {
  std::string account;
  bool accountIsNull;
  std::int32_t accountType;
  bool claimed = false;  // this worker ran the exchange
  std::int32_t result = 0;
};

void Work(void* arg) noexcept {
  auto* r = static_cast<Request*>(arg);
  std::uint32_t none = 0;
  // Another caller's worker may have claimed the exchange since this one's
  // caller looked: then this worker does nothing, and its caller waits for
  // that exchange instead.
  if (!g_inFlight.compare_exchange_strong(none, worker::CurrentId())) return;
  r->claimed = true;
  r->result = RunExchange(r->accountIsNull ? nullptr : r->account.c_str(), r->accountType);
  g_inFlight.store(0);
}

// Waits until worker `id` has ended, if it is still the one in flight. The
// handle is opened before the second look: a worker clears g_inFlight before
// it ends, so a handle opened while g_inFlight still named it is its own,
// whatever thread later gets the same id.
void WaitForWorker(std::uint32_t id) noexcept {
  const worker::Handle h = worker::Open(id);
  if (g_inFlight.load() != id) {
    if (h) worker::Release(h);
    return;
  }
  if (h) {
    worker::Join(h);
  } else {
    worker::Pause();  // cannot happen while the worker lives; looks again
  }
}

// Runs this caller's own exchange on a new worker. Returns false when
// another caller's worker claimed it first.
bool RunOwnExchange(const char* account, std::int32_t accountType, std::int32_t* result) noexcept {
  Request* r = nullptr;
  try {
    r = new Request{account ? account : "", account == nullptr, accountType};
  } catch (...) {
    *result = NoExchange();  // out of memory counts as a failed connection
    return true;
  }
  const worker::Handle h = worker::Start(Work, r);
  if (!h) {
    delete r;
    *result = NoExchange();
    return true;
  }
  worker::Join(h);
  const bool claimed = r->claimed;
  *result = r->result;
  delete r;
  return claimed;
}

}  // namespace

std::int32_t LoadParameters(const char* account, std::int32_t accountType) noexcept {
  for (;;) {
    if (IsLoaded()) return 1;
    if (const std::uint32_t id = g_inFlight.load()) {
      // Waits for the exchange in flight; after it, a success answers 1
      // above, a failure lets this caller run its own.
      WaitForWorker(id);
      continue;
    }
    std::int32_t result = 0;
    if (RunOwnExchange(account, accountType, &result)) return result;
  }
}

}  // namespace pb
