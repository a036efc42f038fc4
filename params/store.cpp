#include "params/store.h"

#include <atomic>
#include <map>

#include "params/parse_double.h"

#ifdef PB_TEST_STORE_WRITE_PAUSE_MS
#include <chrono>
#include <thread>
#endif

namespace pb {
namespace {

// std::string's operator< compares with char_traits<char>::compare, which is
// memcmp: unsigned bytes, a proper prefix first.
using Map = std::map<std::string, std::string, std::less<>>;

struct Snapshot {
  Map map;
  Snapshot* nextRetired = nullptr;
};

// What readers see; null is the empty store. Replaced only by the writer.
std::atomic<const Snapshot*> g_published{nullptr};
// Readers inside a lookup. A reader counts itself before it loads
// g_published, so a snapshot replaced before the writer sees 0 here is held
// by nobody (all seq_cst: the count, the load and the exchange are ordered).
std::atomic<int> g_readers{0};

// The writer's own state: no other thread touches it.
Snapshot* g_draft = nullptr;  // the open batch's copy
int g_batchDepth = 0;
Snapshot* g_retired = nullptr;  // replaced, maybe still being read

constexpr const char* kFixedNames[] = {"func101", "func102", "func103"};

void FreeList(Snapshot* s) {
  while (s) {
    Snapshot* next = s->nextRetired;
    delete s;
    s = next;
  }
}

void Publish() {
  Snapshot* old = const_cast<Snapshot*>(g_published.exchange(g_draft));
  g_draft = nullptr;
  if (old) {
    old->nextRetired = g_retired;
    g_retired = old;
  }
  if (g_readers.load() == 0) {
    FreeList(g_retired);
    g_retired = nullptr;
  }
}

// Counts the reader in for the lookup; the snapshot stays valid until the
// guard ends. No lock: an ended reader only leaves the count raised.
class ReadGuard {
 public:
  ReadGuard() { g_readers.fetch_add(1); }
  ~ReadGuard() { g_readers.fetch_sub(1); }
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  const Map* map() const {
    const Snapshot* s = g_published.load();
    return s ? &s->map : nullptr;
  }
};

}  // namespace

namespace detail {
double g_fixedValues[3] = {-1.0, -1.0, -1.0};
std::atomic<bool> g_loaded{false};
}  // namespace detail

using detail::g_fixedValues;
using detail::g_loaded;

WriteBatch::WriteBatch() { ++g_batchDepth; }

WriteBatch::~WriteBatch() {
  if (--g_batchDepth == 0 && g_draft) Publish();
}

void SetParameter(std::string_view name, std::string_view value) {
  if (!g_draft) {
    // Only the writer replaces g_published, so it can read it unguarded.
    const Snapshot* current = g_published.load();
    g_draft = current ? new Snapshot{current->map} : new Snapshot;
  }
  auto it = g_draft->map.find(name);
  if (it != g_draft->map.end()) {
    it->second.assign(value);  // reuses the value's storage where it can
  } else {
    g_draft->map.emplace(name, value);
  }
#ifdef PB_TEST_STORE_WRITE_PAUSE_MS
  // A test build only (tests/fetch): a wide write path, for a test that
  // ends a caller while the exchange writes the store.
  std::this_thread::sleep_for(std::chrono::milliseconds(PB_TEST_STORE_WRITE_PAUSE_MS));
#endif
  if (g_batchDepth == 0) Publish();
}

void ClearParameters() {
  if (g_draft) {
    g_draft->map.clear();
  } else {
    g_draft = new Snapshot;
  }
  if (g_batchDepth == 0) Publish();
}

std::string GetParameterText(const std::string& name) {
  ReadGuard read;
  const Map* m = read.map();
  if (!m) return {};
  auto it = m->find(name);
  return it == m->end() ? std::string() : it->second;
}

double GetParameter(const std::string& name, double defaultValue) {
  std::string value;
  {
    ReadGuard read;
    const Map* m = read.map();
    if (!m) return defaultValue;
    auto it = m->find(name);
    if (it == m->end()) return defaultValue;
    value = it->second;
  }
  return ParseDouble(value, defaultValue);
}

bool IsLoaded() { return g_loaded.load(std::memory_order_acquire); }

void SetLoaded() {
  if (IsLoaded()) return;
  for (int i = 0; i < 3; ++i) g_fixedValues[i] = GetParameter(kFixedNames[i], -1.0);
  g_loaded.store(true, std::memory_order_release);
}

void ReleaseStoreForUnload() {
  delete g_published.exchange(nullptr);
  delete g_draft;
  g_draft = nullptr;
  FreeList(g_retired);
  g_retired = nullptr;
}

void ResetStoreForTesting() {
  ReleaseStoreForUnload();
  g_batchDepth = 0;
  g_loaded.store(false, std::memory_order_relaxed);
  for (double& v : g_fixedValues) v = -1.0;
}

void ForEachParameterForTesting(void (*visit)(const std::string&, const std::string&)) {
  ReadGuard read;
  if (const Map* m = read.map()) {
    for (const auto& [name, value] : *m) visit(name, value);
  }
}

}  // namespace pb
