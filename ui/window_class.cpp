#include "ui/window_class.h"

#include <windows.h>

#include "ui/toolkit_state.h"

namespace pb::ui {

constexpr char kClassName[] = "KUI";
constexpr UINT kClassStyle = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_GLOBALCLASS;

void RegisterWindowClass(void* instance) {
  WNDCLASSA wc = {};
  wc.style = kClassStyle;
  wc.lpfnWndProc = DllWndProc;
  wc.hInstance = static_cast<HINSTANCE>(instance);
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  RegisterClassA(&wc);
  g_state.instance = static_cast<HINSTANCE>(instance);
}

void UnregisterWindowClass() { UnregisterClassA(kClassName, g_state.instance); }

}  // namespace pb::ui
