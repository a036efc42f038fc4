// Child controls of the host window: creators and readers.
#include <windows.h>

#include <cstring>

#include "ui/toolkit_state.h"

using pb::ui::Flag;
using pb::ui::g_state;
using pb::ui::IsSet;

namespace {

constexpr DWORD kTabStopChild = WS_CHILD | WS_VISIBLE | WS_TABSTOP;

// Position is relative to the host's client area; callers give height
// before width, the window manager wants width first. Id (menu) 0 for every
// control: the callback tells them apart by the handle in lParam. Null when
// there is no live host window to be the parent.
HWND MakeChild(DWORD exStyle, const char* cls, const char* text, DWORD style, int x, int y,
               int height, int width) {
  return CreateWindowExA(exStyle, cls, text, style, x, y, width, height, g_state.host, nullptr,
                         g_state.instance, nullptr);
}

bool IsEmpty(const char* text) { return text == nullptr || text[0] == '\0'; }

}  // namespace

extern "C" {

HWND UIAddButton(const char* text, int x, int y, int height, int width) noexcept {
  return MakeChild(0, "BUTTON", text, kTabStopChild | BS_PUSHBUTTON, x, y, height, width);
}

// No WS_TABSTOP: Tab passes over labels.
HWND UIAddLabel(const char* text, int x, int y, int height, int width) noexcept {
  return MakeChild(0, "STATIC", text, WS_CHILD | WS_VISIBLE | SS_LEFT, x, y, height, width);
}

// BS_AUTOCHECKBOX toggles the mark on a click by itself.
HWND UIAddCheckbox(Flag checked, const char* text, int x, int y, int height, int width) noexcept {
  HWND box = MakeChild(0, "button", text, kTabStopChild | BS_AUTOCHECKBOX, x, y, height, width);
  if (IsSet(checked)) SendMessageA(box, BM_SETCHECK, BST_CHECKED, 0);
  return box;
}

// A null `text` counts as empty. The later steps run even on a null `box`:
// then a `focus` request takes the focus away from this thread's windows.
HWND UIAddTextBox(const char* text, int x, int y, int height, int width, Flag password,
                  Flag focus) noexcept {
  HWND box = MakeChild(WS_EX_CLIENTEDGE, "EDIT", nullptr, kTabStopChild, x, y, height, width);
  if (IsSet(password)) {
    // The style bit alone does not mask an existing edit control; the
    // password character is what the control draws with.
    SetWindowLongA(box, GWL_STYLE, GetWindowLongA(box, GWL_STYLE) | ES_PASSWORD);
    SendMessageA(box, EM_SETPASSWORDCHAR, '*', 0);
  }
  if (IsSet(focus)) SetFocus(box);
  if (!IsEmpty(text)) SendMessageA(box, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
  return box;
}

// Nonzero if the window was visible before; nothing shows it again.
BOOL UIHide(HWND handle) noexcept { return ShowWindow(handle, SW_HIDE); }

// BST_INDETERMINATE, and any window that does not answer, give 0.
int UIGetChecked(HWND handle) noexcept {
  return SendMessageA(handle, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0;
}

// An empty (or null) text sends nothing: it never clears a control.
LRESULT UISetText(HWND handle, const char* text) noexcept {
  if (IsEmpty(text)) return 0;
  return SendMessageA(handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
}

// A new block from the process heap that nobody frees; at most 254 bytes of
// text (capacity 255 with the NUL). The buffer starts zeroed, so a handle
// that names no window (SendMessage then writes nothing) gives empty text.
// Null when the block cannot be had. The text may be a password: the read
// buffer on the stack is wiped before returning (SecureZeroMemory, which the
// compiler may not drop as a dead store, unlike memset); the block is the
// caller's to wipe.
char* UIGetText(HWND handle) noexcept {
  char buffer[256] = {};
  SendMessageA(handle, WM_GETTEXT, 255, reinterpret_cast<LPARAM>(buffer));
  buffer[sizeof buffer - 1] = '\0';  // a window procedure that ignores wParam
  const std::size_t length = std::strlen(buffer);
  auto* copy = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, length + 1));
  if (copy) std::memcpy(copy, buffer, length + 1);
  SecureZeroMemory(buffer, sizeof buffer);
  return copy;
}

}  // extern "C"
