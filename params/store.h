// The process-wide parameter store: an ordered map from name to value text.
//
// Names and values are byte strings; names compare byte by byte as unsigned
// values, case counts, nothing is trimmed. Entries are added or replaced;
// only ClearParameters (at the start of a load's exchange) and
// PublishParameters (a refresh's outcome) remove them. Readers get copies;
// no reference into the store leaves this file.
//
// Threads: one writer, any number of readers, and no lock at all. In the DLL
// the writer is the fetch's worker thread, which no terminal ever ends; a
// reader may be ended at any instruction (TerminateThread) and leaves nothing
// that another thread waits for. Readers see published snapshots: the store
// before or after a write (or a whole WriteBatch), never part of one. A
// snapshot that readers may still hold is freed later, once no reader is
// inside; a reader ended inside keeps the replaced snapshots until the module
// is unloaded (memory, never a wait). A snapshot holds the entries, the
// loaded flag and the fixed-name getters' answers together, so a reader
// never sees the getters of one reply beside the entries of another.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace pb {

// Entries as the store holds them (std::string's operator< is memcmp:
// unsigned bytes, a proper prefix first).
using ParameterMap = std::map<std::string, std::string, std::less<>>;

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

// Removes every entry; the loaded flag and the getters' answers stay. The
// writer only, like SetParameter. A load's exchange calls it at its start,
// while the loaded flag is clear (the getters answer -1.0 then), so that a
// reply is judged on its own entries only.
void ClearParameters();

// A copy of the value, or empty text when the name is absent. Never adds an
// entry. Any thread; never waits.
std::string GetParameterText(const std::string& name);

// ParseDouble of the value, or defaultValue when the name is absent. Any
// thread; never waits.
double GetParameter(const std::string& name, double defaultValue);

// Set by a successful fetch; cleared only by a refresh that the server
// refuses (PublishParameters). SetLoaded (the writer) reads "func101" to
// "func103" from the store once and publishes them with the flag, in the
// next snapshot (at once outside a batch). Any thread may call IsLoaded;
// it never waits.
bool IsLoaded();
void SetLoaded();

// Replaces the whole store with `entries` and the loaded flag with `loaded`
// (the fixed getters' answers read from `entries`): readers see the store
// before or after, never an emptied or half-written one. The writer only,
// outside a batch.
void PublishParameters(ParameterMap entries, bool loaded);

// The answers of the fixed-name getters: -1.0 until loaded, then the number
// stored for "func101", "func102" or "func103" (default -1.0) when the
// snapshot was published. Any thread; never waits for a fetch in progress,
// never allocates.
enum class FixedName { kFunc101, kFunc102, kFunc103 };
double FixedGetter(FixedName name);

// Frees every snapshot. Only when no other thread can use the store: the
// DLL calls it when FreeLibrary unloads it (no worker runs then: each holds
// a reference on the module), never at process exit, where a thread ended
// inside the heap may have left its lock held.
void ReleaseStoreForUnload();

// For tests only: forget every entry and clear the loaded flag; visit every
// entry in order. Not to be called while another thread uses the store.
void ResetStoreForTesting();
void ForEachParameterForTesting(void (*visit)(const std::string& name, const std::string& value));

}  // namespace pb
