// The fetch's worker threads on Win32 (params/worker.h).
//
// A terminal ends a program's thread that overstays in a DLL call
// (TerminateThread), so an exchange never runs on a caller's thread: it runs
// on a thread made here, which nothing outside this module knows of.
//
// A thread each, though its start and end cost more than a loopback
// exchange under Wine (bench/fetch_roundtrip.py): the thread's end is what
// tells its caller that the module's reference is gone, so a FreeLibrary
// right after LoadParameters returns unloads the module, and a load after
// it starts afresh. A worker parked between exchanges would hold the module
// loaded; a run on the process's thread pool drops its reference only after
// its caller has been woken, and the pool says nothing when it has.
#include <windows.h>

#include "params/worker.h"

namespace pb::worker {
namespace {

struct Launch {
  Proc proc;
  void* arg;
  HMODULE self;  // the reference that keeps this code mapped
};

// The whole life of a worker. No exception can leave it (proc is noexcept;
// i686 unwinding could not cross the Win32 frames below it anyway).
DWORD WINAPI WorkerMain(void* p) {
  const Launch launch = *static_cast<Launch*>(p);
  HeapFree(GetProcessHeap(), 0, p);
  launch.proc(launch.arg);
  // Drops the module's reference and ends the thread in one call that does
  // not return into the module: a FreeLibrary during the exchange (the
  // program was removed) unmaps the code only now. With the last reference
  // DllMain's unload runs here, on this thread.
  FreeLibraryAndExitThread(launch.self, 0);
}

}  // namespace

Handle Start(Proc proc, void* arg) noexcept {
  // The reference is taken here, by the caller, before the thread exists: a
  // caller ended right after CreateThread, and a FreeLibrary after that,
  // must not unmap WorkerMain before its first instruction. A caller ended
  // between the two calls leaks one reference: the module then stays loaded
  // until the process ends.
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCSTR>(&WorkerMain), &self)) {
    return nullptr;
  }
  auto* launch = static_cast<Launch*>(HeapAlloc(GetProcessHeap(), 0, sizeof(Launch)));
  if (!launch) {
    FreeLibrary(self);
    return nullptr;
  }
  *launch = Launch{proc, arg, self};
  // Needs the loader lock to start (DLL_THREAD_ATTACH): never call this from
  // a DllMain.
  HANDLE thread = CreateThread(nullptr, 0, WorkerMain, launch, 0, nullptr);
  if (!thread) {
    HeapFree(GetProcessHeap(), 0, launch);
    FreeLibrary(self);
  }
  return thread;
}

std::uint32_t CurrentId() noexcept { return GetCurrentThreadId(); }

Handle Open(std::uint32_t id) noexcept { return OpenThread(SYNCHRONIZE, FALSE, id); }

// A thread's handle is signalled once it has ended: for a worker, after its
// FreeLibraryAndExitThread. A caller ended here leaks the handle only.
void Join(Handle h) noexcept {
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

bool WaitFor(Handle h, std::uint32_t ms) noexcept {
  return WaitForSingleObject(h, ms) == WAIT_OBJECT_0;
}

void Release(Handle h) noexcept { CloseHandle(h); }

void Pause() noexcept { Sleep(10); }

}  // namespace pb::worker
