// The process-wide parameter store: an ordered map from name to value text.
//
// Names and values are byte strings; names compare byte by byte as unsigned
// values, case counts, nothing is trimmed. Entries are added or replaced;
// only ClearParameters removes them, at the start of each exchange. Readers
// get copies; no reference into the store leaves this file.
//
// Threads: one writer, any number of readers, and no lock at all. In the DLL
// the writer is the fetch's worker thread, which no terminal ever ends; a
// reader may be ended at any instruction (TerminateThread) and leaves nothing
// that another thread waits for. Readers see published snapshots: the store
// before or after a write (or a whole WriteBatch), never part of one. A
// snapshot that readers may still hold is freed later, once no reader is
// inside; a reader ended inside keeps the replaced snapshots until the module
// is unloaded (memory, never a wait). The fixed-name getters read values
// cached when the loaded flag was set.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

namespace pb {

// Adds the entry, or replaces the value of the present one. The writer only.
// Outside a WriteBatch it is published at once (one copy of the store).
void SetParameter(std::string_view name, std::string_view value);

// Groups the writer's SetParameter calls: they go into a private copy that
// is published as a whole when the outermost batch ends (also when an
// exception ends it). Reads meanwhile, the writer's own too, see the store
// as it was before the batch.
class WriteBatch {
 public:
  WriteBatch();
  ~WriteBatch();
  WriteBatch(const WriteBatch&) = delete;
  WriteBatch& operator=(const WriteBatch&) = delete;
};

// Removes every entry. The writer only, like SetParameter. The fetch calls it
// before each exchange, while the loaded flag is clear (nothing reads the
// cached getters' values then), so that a reply is judged on its own entries
// only.
void ClearParameters();

// A copy of the value, or empty text when the name is absent. Never adds an
// entry. Any thread; never waits.
std::string GetParameterText(const std::string& name);

// ParseDouble of the value, or defaultValue when the name is absent. Any
// thread; never waits.
double GetParameter(const std::string& name, double defaultValue);

// Set by the first successful fetch; never cleared while the module stays
// loaded. SetLoaded (the writer) reads "func101".."func103" from the store
// once and then publishes the flag (release); IsLoaded reads it (acquire).
// Nothing writes the store after it is set, so the cached answers stay equal
// to the store's.
bool IsLoaded();
void SetLoaded();

// The answers of the fixed-name getters: -1.0 until loaded, then the stored
// number for "func101", "func102" or "func103" with default -1.0. A read of
// a cached double; never waits for a fetch in progress.
enum class FixedName { kFunc101, kFunc102, kFunc103 };
inline double FixedGetter(FixedName name);

// Frees every snapshot. Only when no other thread can use the store: the
// DLL calls it when FreeLibrary unloads it (no worker runs then: each holds
// a reference on the module), never at process exit, where a thread ended
// inside the heap may have left its lock held.
void ReleaseStoreForUnload();

// For tests only: forget every entry and clear the loaded flag; visit every
// entry in order. Not to be called while another thread uses the store.
void ResetStoreForTesting();
void ForEachParameterForTesting(void (*visit)(const std::string& name, const std::string& value));

namespace detail {
// Written only by SetLoaded, before the flag is published.
extern double g_fixedValues[3];
extern std::atomic<bool> g_loaded;
}  // namespace detail

inline double FixedGetter(FixedName name) {
  if (!detail::g_loaded.load(std::memory_order_acquire)) return -1.0;
  return detail::g_fixedValues[static_cast<int>(name)];
}

}  // namespace pb
