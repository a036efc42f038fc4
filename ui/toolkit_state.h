// The toolkit's module-wide state: one set for the whole process, zero at
// load, no lock (every toolkit call runs on the host window's thread).
#pragma once

#include <windows.h>

namespace pb::ui {

// The caller's window callback: cdecl, four 32-bit arguments; only the low
// byte of the result counts.
using WindowCallback = bool (*)(UINT message, WPARAM wParam, LPARAM lParam, int* handled);

struct ToolkitState {
  HINSTANCE instance = nullptr;
  HWND host = nullptr;  // the latest UIMakeWindow's window; never cleared
  WindowCallback callback = nullptr;
  bool stop = false;
};

extern ToolkitState g_state;

}  // namespace pb::ui

extern "C" LRESULT CALLBACK DllWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
extern "C" void CALLBACK TimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD time);
