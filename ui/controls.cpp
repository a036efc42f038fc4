// Child controls of the host window: creators and readers.
#include <windows.h>

#include <cstring>

#include "ui/toolkit_state.h"

using pb::ui::g_state;

namespace {

constexpr DWORD kTabStopChild = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

// Position is relative to the host's client area; callers give height
// before width, the window manager wants width first.
HWND MakeChild(DWORD exStyle, const char* cls, const char* text, DWORD style, int x, int y,
               int height, int width) {
  return CreateWindowExA(exStyle, cls, text, style, x, y, width, height, g_state.host, nullptr,
                         g_state.instance, nullptr);
}

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

}  // namespace

extern "C" {

HWND UIAddButton(const char* text, int x, int y, int height, int width) {
  return MakeChild(0, "BUTTON", text, kTabStopChild | BS_PUSHBUTTON, x, y, height, width);
}

HWND UIAddLabel(const char* text, int x, int y, int height, int width) {
  return MakeChild(0, "STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT, x, y, height, width);
}

HWND UIAddCheckbox(bool checked, const char* text, int x, int y, int height, int width) {
  HWND box = MakeChild(0, "button", text, kTabStopChild | BS_AUTOCHECKBOX, x, y, height, width);
  if (checked) SendMessageA(box, BM_SETCHECK, BST_CHECKED, 0);
  return box;
}

// A null `text` counts as empty.
HWND UIAddTextBox(const char* text, int x, int y, int height, int width, bool password,
                  bool focus) {
  HWND box = MakeChild(WS_EX_CLIENTEDGE, "EDIT", nullptr, kTabStopChild, x, y, height, width);
  if (password) {
    SetWindowLongA(box, GWL_STYLE, GetWindowLongA(box, GWL_STYLE) | ES_PASSWORD);
    SendMessageA(box, EM_SETPASSWORDCHAR, '*', 0);
  }
  if (focus) SetFocus(box);
  if (!IsEmpty(text)) SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  return box;
}

BOOL UIHide(HWND handle) { return ShowWindow(handle, SW_HIDE); }

int UIGetChecked(HWND handle) {
  return SendMessageA(handle, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

// An empty (or null) text sends nothing: it never clears a control.
LRESULT UISetText(HWND handle, const char* text) {
  if (IsEmpty(text)) return 0;
  return SendMessageA(handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// A new block from the process heap that nobody frees; at most 254 bytes of
// text. The buffer starts zeroed, so a handle that names no window (which
// writes nothing) gives empty text. Null when the block cannot be had.
char* UIGetText(HWND handle) {
  char buffer[256] = {};
  SendMessageA(handle, WM_GETTEXT, 255, reinterpret_cast<LPARAM>(buffer));
  buffer[sizeof buffer - 1] = '\0';
  const std::size_t length = std::strlen(buffer);
  auto* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
  if (copy) std::memcpy(copy, buffer, length + 1);
  return copy;
}

}  // extern "C"
