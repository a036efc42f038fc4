// The toolkit's module-wide state: one set for the whole process, zero at
// load, no lock (every toolkit call runs on the host window's thread).
#pragma once

#include <windows.h>

#include <cstdint>

namespace pb::ui {

// The caller's window callback: cdecl, four 32-bit arguments. The caller
// declares it as returning a one-byte bool and may leave anything in the
// upper bytes of EAX, so it is typed here as returning the whole register
// and only the low byte is tested (CallbackAsksStop).
using WindowCallback = std::uint32_t (*)(UINT message, WPARAM wParam, LPARAM lParam,
                                         int* handled);

inline bool CallbackAsksStop(std::uint32_t result) { return (result & 0xFFu) != 0; }

// A bool argument of an export arrives in a 32-bit slot of which only the
// low byte is defined; the rest may be garbage from the caller's frame.
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
// and any handler, and i686 DWARF-2 unwinding cannot cross those. noexcept
// turns an escaping exception (from an in-process callback) into
// std::terminate here instead of undefined unwinding through user32.
extern "C" LRESULT CALLBACK DllWndProc(HWND hwnd, UINT message, WPARAM wParam,
                                       LPARAM lParam) noexcept;
extern "C" void CALLBACK TimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD time) noexcept;
