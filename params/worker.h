// The workers that run the fetch's exchanges, supplied by whoever links the
// fetch: runs on the process's thread pool in the DLL (module/
// worker_win32.cpp), a std::thread each in the native tests. A worker here
// is one run of a procedure, from its start to its return; the thread under
// it may run other work before and after. Nothing here throws.
#pragma once

#include <cstdint>

namespace pb::worker {

using Handle = void*;
using Proc = void (*)(void* arg) noexcept;

// Starts proc(arg) on a thread that no caller owns, so none can end it, and
// never on the calling thread. The code it runs stays loaded until the run
// has returned. Null when the run could not be started.
Handle Start(Proc proc, void* arg) noexcept;

// Called by a running worker: an id of its own, never 0, that no other live
// worker has (its thread's).
std::uint32_t CurrentId() noexcept;

// A handle on the live worker `id`, or null when there is none (or it
// cannot be had). Join on a handle opened while that worker runs returns
// once it has returned (or, should another worker under the same id start
// meanwhile, once that one has), never before.
Handle Open(std::uint32_t id) noexcept;

// Waits until the worker of `h` has returned from its procedure, then
// releases `h`.
void Join(Handle h) noexcept;

// Releases `h` without waiting.
void Release(Handle h) noexcept;

// Gives up the processor for a few milliseconds.
void Pause() noexcept;

}  // namespace pb::worker
