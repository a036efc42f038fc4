// LoadParameters and RefreshParameters: start the exchange on a worker
// thread, or wait for the one in flight. Callers take no lock: the shared
// state is atomic words, which a caller only reads, and each waiting caller
// holds its own handle on the worker. A caller ended at any instruction
// leaves at most a leaked request block or handle behind, never something
// another thread waits for.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <new>
#include <string>

#include "params/fetch.h"
#include "params/store.h"
#include "params/worker.h"

namespace pb {
namespace {

using Clock = std::chrono::steady_clock;

// The exchange in flight: its number (high half) and its worker's id (low
// half, never 0); 0 when none is. Set by the worker that claims the
// exchange, cleared by that worker only, after it has recorded the result.
std::atomic<std::uint64_t> g_flight{0};
std::atomic<std::uint32_t> g_exchangesNumbered{0};

std::uint32_t WorkerOf(std::uint64_t flight) { return static_cast<std::uint32_t>(flight); }
std::uint32_t NumberOf(std::uint64_t flight) { return static_cast<std::uint32_t>(flight >> 32); }

// The results of the latest exchanges, (number << 32) | result, in the slot
// number % kResults: where a caller that waited for another's exchange
// reads the result it takes.
constexpr std::uint32_t kResults = 16;
std::atomic<std::uint64_t> g_results[kResults] = {};

std::atomic<std::int64_t> g_refreshWaitMs{kRefreshWait.count()};

enum class Kind { kLoad, kRefresh };

// One caller's request, handed to the worker it starts. Held by both: the
// one that lets go last frees it (a caller ended first leaks it).
struct Request {
  std::string account;
  bool accountIsNull;
  std::int32_t accountType;
  Kind kind;
  std::atomic<int> holders{2};
  // The worker's answer, read by the caller once the worker has ended: the
  // exchange it ran (claimed) or the one it found in flight.
  std::uint64_t flight = 0;
  bool claimed = false;
  std::int32_t result = 0;
};

void LetGo(Request* r) noexcept {
  if (r->holders.fetch_sub(1) == 1) delete r;
}

void Work(void* arg) noexcept {
  auto* r = static_cast<Request*>(arg);
  const std::uint32_t number = g_exchangesNumbered.fetch_add(1) + 1;
  const std::uint64_t mine = (static_cast<std::uint64_t>(number) << 32) | worker::CurrentId();
  std::uint64_t found = 0;
  // Another caller's worker may have claimed the exchange since this one's
  // caller looked: then this worker does nothing, and its caller waits for
  // that exchange instead.
  if (!g_flight.compare_exchange_strong(found, mine)) {
    r->flight = found;
    LetGo(r);
    return;
  }
  r->flight = mine;
  r->claimed = true;
  const char* account = r->accountIsNull ? nullptr : r->account.c_str();
  const std::int32_t result = r->kind == Kind::kLoad ? RunExchange(account, r->accountType)
                                                      : RunRefreshExchange(account, r->accountType);
  r->result = result;
  g_results[number % kResults].store((static_cast<std::uint64_t>(number) << 32) |
                                     static_cast<std::uint32_t>(result));
  g_flight.store(0);
  LetGo(r);  // the caller may have stopped waiting: then r goes here
}

// The result of exchange `number`, which has ended. Should sixteen more
// have ended since (a waiter held off the processor that long), its slot
// is gone, and the error code tells success from failure.
std::int32_t ResultOf(std::uint32_t number) {
  const std::uint64_t r = g_results[number % kResults].load();
  if (NumberOf(r) == number) return static_cast<std::int32_t>(static_cast<std::uint32_t>(r));
  return LastErrorCode() == 1 ? 1 : 0;
}

// Milliseconds left until `deadline`, rounded up.
std::uint32_t MsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0u : static_cast<std::uint32_t>(left);
}

// Waits until exchange `flight` has ended (true), or until `deadline` when
// there is one (false). The handle is opened before the second look: a
// worker clears g_flight before it ends, so a handle opened while g_flight
// still named it is its own, whatever thread later gets the same id.
bool WaitForFlight(std::uint64_t flight, const Clock::time_point* deadline) noexcept {
  for (;;) {
    const worker::Handle h = worker::Open(WorkerOf(flight));
    if (g_flight.load() != flight) {
      if (h) worker::Release(h);
      return true;
    }
    if (!h) {
      // Cannot happen while the worker lives; looks again.
      if (deadline && Clock::now() >= *deadline) return false;
      worker::Pause();
      continue;
    }
    if (!deadline) {
      worker::Join(h);
      return true;
    }
    const bool ended = worker::WaitFor(h, MsUntil(*deadline));
    worker::Release(h);
    return ended;
  }
}

struct Own {
  enum How { kDone, kFoundAnother, kOverdue } how;
  std::int32_t result;   // kDone
  std::uint64_t flight;  // kFoundAnother: the exchange to wait for; kOverdue: this one's
};

// Runs this caller's own exchange on a new worker and waits for it, until
// `deadline` when there is one.
Own RunOwnExchange(Kind kind, const char* account, std::int32_t accountType,
                   const Clock::time_point* deadline) noexcept {
  Request* r = nullptr;
  try {
    r = new Request{account ? account : "", account == nullptr, accountType, kind};
  } catch (...) {
    return {Own::kDone, NoExchange(), 0};  // out of memory counts as a failed connection
  }
  const worker::Handle h = worker::Start(Work, r);
  if (!h) {
    delete r;
    return {Own::kDone, NoExchange(), 0};
  }
  if (deadline) {
    if (!worker::WaitFor(h, MsUntil(*deadline))) {
      worker::Release(h);
      LetGo(r);  // the worker frees it when it ends
      return {Own::kOverdue, 0, 0};
    }
    worker::Release(h);
  } else {
    worker::Join(h);
  }
  const Own own = r->claimed ? Own{Own::kDone, r->result, r->flight}
                             : Own{Own::kFoundAnother, 0, r->flight};
  LetGo(r);
  return own;
}

}  // namespace

std::int32_t LoadParameters(const char* account, std::int32_t accountType) noexcept {
  for (;;) {
    if (IsLoaded()) return 1;
    if (const std::uint64_t flight = g_flight.load()) {
      // Waits for the exchange in flight; after it, a success answers 1
      // above, a failure lets this caller run its own.
      WaitForFlight(flight, nullptr);
      continue;
    }
    const Own own = RunOwnExchange(Kind::kLoad, account, accountType, nullptr);
    if (own.how == Own::kDone) return own.result;
    // Another caller's exchange was claimed first: wait for it above.
  }
}

std::int32_t RefreshParameters(const char* account, std::int32_t accountType) noexcept {
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(g_refreshWaitMs.load());
  std::uint64_t flight = g_flight.load();
  if (!flight) {
    const Own own = RunOwnExchange(Kind::kRefresh, account, accountType, &deadline);
    if (own.how == Own::kDone) return own.result;
    if (own.how == Own::kOverdue) return ExchangeOverdue();
    flight = own.flight;
  }
  // One exchange serves every caller that arrives while it runs, load or
  // refresh: this caller takes its result.
  if (!WaitForFlight(flight, &deadline)) return ExchangeOverdue();
  return ResultOf(NumberOf(flight));
}

void SetRefreshWaitForTesting(std::chrono::milliseconds wait) { g_refreshWaitMs = wait.count(); }

}  // namespace pb
