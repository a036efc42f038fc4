// The host window, its message loop and its timers.
#include <windows.h>

#include "ui/toolkit_state.h"
#include "ui/window_class.h"

namespace pb::ui {

ToolkitState g_state;

}  // namespace pb::ui

using pb::ui::g_state;

// The callback is read afresh at every message: a UIMakeWindow made inside
// it replaces it for the very next one.
extern "C" LRESULT CALLBACK DllWndProc(HWND hwnd, UINT message, WPARAM wParam,
                                       LPARAM lParam) noexcept {
  int handled = 0;
  if (const auto callback = g_state.callback) {
    if (pb::ui::CallbackAsksStop(callback(message, wParam, lParam, &handled))) g_state.stop = true;
    // A handled message yields 0 whatever it is; for WM_NCCREATE that makes
    // CreateWindowEx fail, and for WM_DESTROY no quit message is posted.
    if (handled) return 0;
  }
  if (message == WM_DESTROY) {
    g_state.stop = true;
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Called by DispatchMessage for a tick of a toolkit timer; the tick never
// reaches DllWndProc. The callback sees (WM_TIMER, id, window); `handled` is
// not read and `time` not passed on.
extern "C" void CALLBACK TimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD) noexcept {
  int handled = 0;
  if (const auto callback = g_state.callback) {
    if (pb::ui::CallbackAsksStop(callback(message, id, reinterpret_cast<LPARAM>(hwnd), &handled)))
      g_state.stop = true;
  }
}

extern "C" {

HWND UIMakeWindow(const char* title, int x, int y, int width, int height, int placement,
                  pb::ui::WindowCallback callback) noexcept {
  RECT screen = {};
  GetWindowRect(GetDesktopWindow(), &screen);
  int left = x, top = y;
  if (placement == 1) {
    // x is the gap to the screen's right edge, y the gap to a line 30 pixels
    // above its bottom edge. 32-bit wrap-around, nothing clamped; computed
    // unsigned because signed overflow is undefined in C++.
    left = static_cast<int>(static_cast<unsigned>(screen.right) - static_cast<unsigned>(x) -
                            static_cast<unsigned>(width));
    top = static_cast<int>(static_cast<unsigned>(screen.bottom) - static_cast<unsigned>(y) -
                           static_cast<unsigned>(height) - 30u);
  }
  pb::ui::RetryWindowClass();
  // The creation and first showing messages reach the callback stored before
  // this call: the new one is stored only after the window has been shown.
  // An earlier host window is left as it is.
  g_state.host = CreateWindowExA(WS_EX_TOPMOST, pb::ui::kWindowClass, title, WS_DLGFRAME, left, top, width,
                                 height, nullptr, nullptr, g_state.instance, nullptr);
  ShowWindow(g_state.host, SW_SHOW);
  g_state.callback = callback;
  return g_state.host;
}

int UIRun() noexcept {
  g_state.stop = false;
  MSG msg;
  for (;;) {
    // The handle is read afresh each time: the callback may have made a new
    // window. A destroyed window makes the filtered GetMessage fail (-1) and
    // ends the loop; a null handle takes in every window and thread message
    // of this thread.
    const BOOL got = GetMessageA(&msg, g_state.host, 0, 0);
    if (got == 0 || got == -1) break;
    // Gives the window a dialog's keyboard interface (Tab between
    // WS_TABSTOP controls); a message it takes is already dispatched.
    if (!IsDialogMessageA(g_state.host, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (g_state.stop) break;
  }
  return 1;
}

// The handle stays stored: a second call passes it again and gets 0.
int UIFinish() noexcept {
  if (!g_state.host) return 0;
  return DestroyWindow(g_state.host);
}

UINT_PTR UIAddTimer(UINT_PTR id, int seconds) noexcept {
  // Wraps in 32 bits as the interval is an unsigned count: -1 s asks for
  // 2^32 - 1000 ms, which SetTimer caps at USER_TIMER_MAXIMUM; 0 ms is
  // raised to USER_TIMER_MINIMUM. An id in use on the window is restarted
  // with the new interval.
  const UINT interval = static_cast<UINT>(seconds) * 1000u;
  return SetTimer(g_state.host, id, interval, TimerProc);
}

BOOL UIKillTimer(UINT_PTR id) noexcept { return KillTimer(g_state.host, id); }

}  // extern "C"
