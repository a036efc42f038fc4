// The toolkit's module-wide state: one set for the whole process, zero at
// load, no lock (every toolkit call runs on the host window's thread).
#pragma once

#include <windows.h>

#include <cstdint>

namespace pb::ui {

// The caller's window callback: cdecl, four arguments (32-bit on i686; on
// x86-64 wParam, lParam and the pointer are 64-bit). The caller declares it
// as returning a one-byte bool and may leave anything in the upper bytes of
// EAX (of RAX on x86-64), so it is typed here as returning EAX and only the
// low byte is tested (CallbackAsksStop).
using WindowCallback = std::uint32_t (*)(UINT message, WPARAM wParam, LPARAM lParam,
                                         int* handled);

inline bool CallbackAsksStop(std::uint32_t result) { return (result & 0xFFu) != 0; }

// A bool argument of an export arrives in a 32-bit slot (a 64-bit register
// or stack slot on x86-64, of which this reads the low half) of which only
// the low byte is defined; the rest may be garbage from the caller.
using Flag = std::uint32_t;
inline bool IsSet(Flag flag) { return (flag & 0xFFu) != 0; }

struct ToolkitState {
  HINSTANCE instance = nullptr;
  HWND host = nullptr;  // the latest UIMakeWindow's window; never cleared
  WindowCallback callback = nullptr;
  bool stop = false;
  bool classRegistered = false;  // this load's RegisterClassA succeeded
};

extern ToolkitState g_state;

}  // namespace pb::ui

// No C++ exception may leave either procedure: Win32 frames sit between them
// and any handler, and i686 DWARF-2 unwinding cannot cross those (x86-64
// unwinding could, into a caller that does not expect it). noexcept
// turns an escaping exception (from an in-process callback) into
// std::terminate here instead of undefined unwinding through user32.
extern "C" LRESULT CALLBACK DllWndProc(HWND hwnd, UINT message, WPARAM wParam,
                                       LPARAM lParam) noexcept;
extern "C" void CALLBACK TimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD time) noexcept;
