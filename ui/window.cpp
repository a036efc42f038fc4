// The host window, its message loop and its timers.
#include <windows.h>

#include "ui/toolkit_state.h"

namespace pb::ui {

ToolkitState g_state;

namespace {

// The callback is typed as returning bool, so the compiler tests only its
// low byte: a caller may leave anything in the upper bytes of EAX.
bool CallCallback(UINT message, WPARAM wParam, LPARAM lParam, int* handled) {
  return g_state.callback(message, wParam, lParam, handled);
}

}  // namespace
}  // namespace pb::ui

using pb::ui::g_state;

// Nothing may throw out of here: the window manager's frames sit between
// this procedure and any handler, and i686 DWARF-2 unwinding cannot cross
// them. Nothing in it allocates.
extern "C" LRESULT CALLBACK DllWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  int handled = 0;
  if (g_state.callback) {
    if (pb::ui::CallCallback(message, wParam, lParam, &handled)) g_state.stop = true;
    if (handled) return 0;
  }
  if (message == WM_DESTROY) {
    g_state.stop = true;
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

// The tick goes to the callback as (WM_TIMER, id, window); `handled` is not
// read and `time` not passed on.
extern "C" void CALLBACK TimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD) {
  int handled = 0;
  if (g_state.callback &&
      pb::ui::CallCallback(message, id, reinterpret_cast<LPARAM>(hwnd), &handled)) {
    g_state.stop = true;
  }
}

extern "C" {

HWND UIMakeWindow(const char* title, int x, int y, int width, int height, int placement,
                  pb::ui::WindowCallback callback) {
  RECT screen = {};
  GetWindowRect(GetDesktopWindow(), &screen);
  int left = x, top = y;
  if (placement == 1) {
    // x is the gap to the screen's right edge, y the gap to a line 30 pixels
    // above its bottom edge. Signed arithmetic, nothing clamped.
    left = static_cast<int>(static_cast<unsigned>(screen.right) - static_cast<unsigned>(x) -
                            static_cast<unsigned>(width));
    top = static_cast<int>(static_cast<unsigned>(screen.bottom) - static_cast<unsigned>(y) -
                           static_cast<unsigned>(height) - 30u);
  }
  // The creation messages reach the callback stored before this call: the
  // new one is stored only after the window has been shown.
  g_state.host = CreateWindowExA(WS_EX_TOPMOST, "KUI", title, WS_DLGFRAME, left, top, width,
                                 height, nullptr, nullptr, g_state.instance, nullptr);
  ShowWindow(g_state.host, SW_SHOW);
  g_state.callback = callback;
  return g_state.host;
}

int UIRun() {
  g_state.stop = false;
  MSG msg;
  for (;;) {
    // The handle is read afresh each time: the callback may have made a new
    // window. A destroyed window makes GetMessage fail (-1) and ends the loop.
    const BOOL got = GetMessageA(&msg, g_state.host, 0, 0);
    if (got == 0 || got == -1) break;
    if (!IsDialogMessageA(g_state.host, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (g_state.stop) break;
  }
  return 1;
}

int UIFinish() {
  if (!g_state.host) return 0;
  return DestroyWindow(g_state.host);
}

UINT_PTR UIAddTimer(UINT_PTR id, int seconds) {
  // Wraps in 32 bits as the interval is an unsigned count: -1 s asks for
  // 2^32 - 1000 ms, which the window manager caps at its maximum.
  const UINT interval = static_cast<UINT>(seconds) * 1000u;
  return SetTimer(g_state.host, id, interval, TimerProc);
}

BOOL UIKillTimer(UINT_PTR id) { return KillTimer(g_state.host, id); }

}  // extern "C"
