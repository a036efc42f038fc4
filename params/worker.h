// The threads that run the fetch's exchanges, supplied by whoever links the
// fetch: the module's Win32 threads in the DLL (module/worker_win32.cpp),
// std::thread in the native tests. Nothing here throws.
#pragma once

#include <cstdint>

namespace pb::worker {

using Handle = void*;
using Proc = void (*)(void* arg) noexcept;

// Starts proc(arg) on a new thread that no caller owns, so none can end it.
// The thread keeps the code it runs loaded until it has ended. Null when no
// thread could be started.
Handle Start(Proc proc, void* arg) noexcept;

// The calling thread's id: never 0, and no two live threads share one.
std::uint32_t CurrentId() noexcept;

// A handle on the live thread `id`, or null when there is none (or it
// cannot be had).
Handle Open(std::uint32_t id) noexcept;

// Waits until the thread of `h` has ended, then releases `h`.
void Join(Handle h) noexcept;

// Releases `h` without waiting.
void Release(Handle h) noexcept;

// Gives up the processor for a few milliseconds.
void Pause() noexcept;

}  // namespace pb::worker
