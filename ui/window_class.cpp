#include "ui/window_class.h"

#include <windows.h>

#include "ui/toolkit_state.h"

namespace pb::ui {

constexpr char kClassName[] = "KUI";
constexpr UINT kClassStyle = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_GLOBALCLASS;

void RegisterWindowClass(void* instance) noexcept {
  WNDCLASSA wc = {};
  wc.style = kClassStyle;
  wc.lpfnWndProc = DllWndProc;
  wc.hInstance = static_cast<HINSTANCE>(instance);
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kClassName;
  g_state.classRegistered = RegisterClassA(&wc) != 0;
  g_state.instance = static_cast<HINSTANCE>(instance);
}

void UnregisterWindowClass() noexcept {
  // CS_GLOBALCLASS: a global class may be matched by name with any instance,
  // so unregistering a "KUI" that another module registered first (our
  // RegisterClassA then failed) could take its class away. Only the class
  // this load made is removed.
  if (!g_state.classRegistered) return;
  if (UnregisterClassA(kClassName, g_state.instance)) g_state.classRegistered = false;
}

}  // namespace pb::ui
