// The fetch's workers on Win32 (params/worker.h).
//
// A terminal ends a program's thread that overstays in a DLL call
// (TerminateThread), so an exchange never runs on a caller's thread: each
// run goes to a thread of the process's thread pool, which no program owns
// and no terminal ends. A new thread for each run cost more than the whole
// exchange on loopback (its start and end); the pool's threads are started
// once and parked between runs. A parked pool thread runs no code of this
// module and holds no reference on it, so a FreeLibrary while no exchange
// runs unloads the module at once, as with a thread of its own that ended.
//
// Ids are the pool threads' ids: a pool thread runs one callback at a time.
// A run's end is seen through two manual-reset events: the one Start returns
// to its caller, and one named after the module and the thread, which Open
// finds by the id alone. The kernel counts the handles on both, so a caller
// or a waiter ended at any instruction leaks a handle, never a lock or
// memory that another thread needs.
#include <windows.h>

#include <cstdio>

#include "params/worker.h"

namespace pb::worker {
namespace {

struct Run {
  Proc proc;
  void* arg;
  HANDLE done;   // the job's own handle on the event Start returned
  HMODULE self;  // the reference that keeps this code mapped
};

// An object of this load of the module, for its address.
const char kThisModule = 0;

// The name of the event of the run on pool thread `id`: this process, this
// load of the module (an address in it), that thread. Another product's DLL
// in the same process lies elsewhere, so never shares one.
void RunEventName(std::uint32_t id, char (&name)[96]) {
  std::snprintf(name, sizeof name, "Local\\pb-worker-%lu-%p-%lu",
                static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<const void*>(&kThisModule), static_cast<unsigned long>(id));
}

// The whole of one run, on a pool thread. No exception can leave it (proc is
// noexcept; i686 unwinding could not cross the pool's Win32 frames anyway).
void CALLBACK RunMain(PTP_CALLBACK_INSTANCE instance, void* p) {
  const Run run = *static_cast<Run*>(p);
  HeapFree(GetProcessHeap(), 0, p);
  // Created before proc, so that it exists whenever proc is under way. A
  // name still held from an earlier run on this thread (a waiter ended
  // holding it) gives that object back, signalled: reset it, so that a
  // waiter that opens it now waits for this run. Without it (no name could
  // be had) a waiter cannot open this run and looks again after a pause.
  char name[96];
  RunEventName(GetCurrentThreadId(), name);
  SetLastError(ERROR_SUCCESS);
  HANDLE named = CreateEventA(nullptr, TRUE, FALSE, name);
  if (named && GetLastError() == ERROR_ALREADY_EXISTS) ResetEvent(named);
  run.proc(run.arg);
  if (named) {
    SetEvent(named);
    CloseHandle(named);
  }
  SetEvent(run.done);
  CloseHandle(run.done);
  // Drops the module's reference once this callback has returned into the
  // pool, so that no frame of this module is left to return to: a
  // FreeLibrary during the exchange (the program was removed) unmaps the
  // code only now, and with the last reference DllMain's unload runs on this
  // pool thread. The caller's Join may return a moment before the pool
  // drops it: a FreeLibrary in that moment unloads the module when it does,
  // on the pool thread, as after an exchange that outlived its caller.
  FreeLibraryWhenCallbackReturns(instance, run.self);
}

}  // namespace

Handle Start(Proc proc, void* arg) noexcept {
  // The reference is taken here, by the caller, before the run is handed
  // over: a caller ended right after the hand-over, and a FreeLibrary after
  // that, must not unmap RunMain before it has run. A caller ended between
  // the two leaks one reference: the module then stays loaded until the
  // process ends.
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&RunMain), &self)) {
    return nullptr;
  }
  HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE runDone = nullptr;
  auto* run = static_cast<Run*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Run)));
  if (done && run &&
      DuplicateHandle(GetCurrentProcess(), done, GetCurrentProcess(), &runDone, 0, FALSE,
                      DUPLICATE_SAME_ACCESS)) {
    *run = Run{proc, arg, runDone, self};
    // An exchange may block for as long as its time-outs: the pool is told,
    // so that it starts another thread for other work rather than wait.
    TP_CALLBACK_ENVIRON environment;
    InitializeThreadpoolEnvironment(&environment);
    SetThreadpoolCallbackRunsLong(&environment);
    // Needs the loader lock if the pool starts a thread (DLL_THREAD_ATTACH):
    // never call this from a DllMain.
    if (TrySubmitThreadpoolCallback(RunMain, run, &environment)) return done;
  }
  if (runDone) CloseHandle(runDone);
  if (run) HeapFree(GetProcessHeap(), 0, run);
  if (done) CloseHandle(done);
  FreeLibrary(self);
  return nullptr;
}

std::uint32_t CurrentId() noexcept { return GetCurrentThreadId(); }

// Null when no run of this module is under way on thread `id`. The object
// stays the same while any handle holds it, and a run resets it before its
// procedure starts: a handle opened while a run is under way is signalled
// only once that run (or a later one on the same thread) has returned.
Handle Open(std::uint32_t id) noexcept {
  char name[96];
  RunEventName(id, name);
  return OpenEventA(SYNCHRONIZE, FALSE, name);
}

// Signalled once the run's proc has returned. A caller ended here leaks the
// handle only.
void Join(Handle h) noexcept {
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

void Release(Handle h) noexcept { CloseHandle(h); }

void Pause() noexcept { Sleep(10); }

}  // namespace pb::worker
