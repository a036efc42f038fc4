#include "params/store.h"

#include <atomic>
#include <utility>

#include "params/parse_double.h"

#ifdef PB_TEST_STORE_WRITE_PAUSE_MS
#include <chrono>
#include <thread>
#endif

namespace pb {
namespace {

using Map = ParameterMap;

constexpr int kFixedCount = 3;

// One published state: the entries, the loaded flag and the fixed getters'
// answers (meaningful only when loaded), read by readers as one.
struct Snapshot {
  Map map;
  bool loaded = false;
  double fixed[kFixedCount] = {-1.0, -1.0, -1.0};
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

constexpr const char* kFixedNames[kFixedCount] = {"func101", "func102", "func103"};

// A new snapshot holding what `s` holds (the empty store for null).
Snapshot* CopyOf(const Snapshot* s) {
  auto* copy = new Snapshot;
  if (s) {
    copy->map = s->map;
    copy->loaded = s->loaded;
    for (int i = 0; i < kFixedCount; ++i) copy->fixed[i] = s->fixed[i];
  }
  return copy;
}

void ReadFixed(Snapshot& s) {
  for (int i = 0; i < kFixedCount; ++i) {
    const auto it = s.map.find(kFixedNames[i]);
    s.fixed[i] = it == s.map.end() ? -1.0 : ParseDouble(it->second, -1.0);
  }
}

// The writer's open draft, made from the published store when there is none.
Snapshot& Draft() {
  // Only the writer replaces g_published, so it can read it unguarded.
  if (!g_draft) g_draft = CopyOf(g_published.load());
  return *g_draft;
}

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
  const Snapshot* snapshot() const { return g_published.load(); }
  const Map* map() const {
    const Snapshot* s = snapshot();
    return s ? &s->map : nullptr;
  }
};

}  // namespace

WriteBatch::WriteBatch() { ++g_batchDepth; }

WriteBatch::~WriteBatch() {
  if (--g_batchDepth == 0 && g_draft) Publish();
}

void SetParameter(std::string_view name, std::string_view value) {
  Map& map = Draft().map;
  auto it = map.find(name);
  if (it != map.end()) {
    it->second.assign(value);  // reuses the value's storage where it can
  } else {
    map.emplace(name, value);
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
    const Snapshot* current = g_published.load();
    g_draft = new Snapshot;
    if (current) {
      g_draft->loaded = current->loaded;
      for (int i = 0; i < kFixedCount; ++i) g_draft->fixed[i] = current->fixed[i];
    }
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

bool IsLoaded() {
  ReadGuard read;
  const Snapshot* s = read.snapshot();
  return s && s->loaded;
}

void SetLoaded() {
  if (IsLoaded()) return;
  Snapshot& draft = Draft();
  ReadFixed(draft);
  draft.loaded = true;
  if (g_batchDepth == 0) Publish();
}

void PublishParameters(Map entries, bool loaded) {
  auto* next = new Snapshot;
  next->map = std::move(entries);
  next->loaded = loaded;
  if (loaded) ReadFixed(*next);
  delete g_draft;  // none is open outside a batch
  g_draft = next;
  Publish();
}

double FixedGetter(FixedName name) {
  ReadGuard read;
  const Snapshot* s = read.snapshot();
  return s && s->loaded ? s->fixed[static_cast<int>(name)] : -1.0;
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
}

void ForEachParameterForTesting(void (*visit)(const std::string&, const std::string&)) {
  ReadGuard read;
  if (const Map* m = read.map()) {
    for (const auto& [name, value] : *m) visit(name, value);
  }
}

}  // namespace pb
