#include "ui/window_class.h"

#include <windows.h>

#include "ui/toolkit_state.h"

namespace pb::ui {
namespace {

constexpr UINT kClassStyle = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_OWNDC | CS_GLOBALCLASS;

bool Register() noexcept {
  WNDCLASSA wc = {};
  wc.style = kClassStyle;
  wc.lpfnWndProc = DllWndProc;
  wc.hInstance = g_state.instance;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kWindowClass;
  return RegisterClassA(&wc) != 0;
}

// Whether `proc` lies in no module loaded in this process: a procedure left
// behind by a module that is gone.
bool InNoLoadedModule(WNDPROC proc) {
  HMODULE owner = nullptr;
  return !GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(proc), &owner);
}

// A "KUI" whose procedure is DefWindowProcA (what an unloaded copy of this
// module leaves when a window of another thread still held the class), or
// lies in no loaded module, is the class of no living module. Once its
// windows are gone it can be unregistered (a global class matches any
// instance) and registered afresh. Another module's "KUI" is left alone.
bool TakeOverStaleClass() noexcept {
  WNDCLASSA wc = {};
  if (!GetClassInfoA(g_state.instance, kWindowClass, &wc)) return false;
  if (wc.lpfnWndProc != DefWindowProcA && !InNoLoadedModule(wc.lpfnWndProc)) return false;
  return UnregisterClassA(kWindowClass, g_state.instance) && Register();
}

// A top-level window of this process served by this copy's DllWndProc (a
// copy in another process may sit at the same address).
bool IsOwnWindow(HWND hwnd) {
  DWORD process = 0;
  GetWindowThreadProcessId(hwnd, &process);
  return process == GetCurrentProcessId() &&
         reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_WNDPROC)) == DllWndProc;
}

BOOL CALLBACK ReleaseOne(HWND hwnd, LPARAM) {
  if (!IsOwnWindow(hwnd)) return TRUE;
  // From now on every message of the window goes to USER32's own default
  // procedure. That also keeps DllWndProc from posting WM_QUIT into the
  // caller's queue when the window is destroyed below, and the caller's
  // callback from running under the loader lock.
  SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcA));
  if (GetWindowThreadProcessId(hwnd, nullptr) == GetCurrentThreadId()) {
    // Destroying the window kills its timers (whose TimerProc is about to
    // be unmapped) and destroys its controls.
    DestroyWindow(hwnd);
  } else {
    // Only the owning thread may destroy a window or kill its timers. The
    // posted WM_CLOSE reaches DefWindowProcA on that thread, which destroys
    // the window; posted messages are taken before timer ticks, so no tick
    // of its timers is dispatched first. Until then the class must not
    // start windows with the unmapped procedure either.
    SetClassLongPtrA(hwnd, GCLP_WNDPROC, reinterpret_cast<LONG_PTR>(DefWindowProcA));
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
  }
  return TRUE;
}

}  // namespace

void RegisterWindowClass(void* instance) noexcept {
  g_state.instance = static_cast<HINSTANCE>(instance);
  g_state.classRegistered = Register() || TakeOverStaleClass();
}

void RetryWindowClass() noexcept {
  if (!g_state.classRegistered) g_state.classRegistered = TakeOverStaleClass();
}

// Runs in DllMain with the loader lock held, so it should neither load a DLL
// nor wait for another thread. USER32 is loaded already (the module imports
// it). EnumWindows, Get/SetWindowLongPtr, SetClassLongPtr and PostMessage
// send no message. DestroyWindow is called only for windows of this thread:
// the messages it sends go to DefWindowProcA and to the system controls'
// procedures, on this thread. What the window manager itself does on the
// way (handing the activation or the focus to another thread's window,
// closing an input method) is not promised to stay off other threads; it
// was tried under Wine only. That risk is the trade made here against a
// window that runs unmapped code on its next message.
void ReleaseWindowsForUnload() noexcept {
  g_state.callback = nullptr;
  EnumWindows(ReleaseOne, 0);
  g_state.host = nullptr;
}

void UnregisterWindowClass() noexcept {
  // CS_GLOBALCLASS: a global class may be matched by name with any instance,
  // so unregistering a "KUI" that another module registered first (our
  // RegisterClassA then failed) could take its class away. Only the class
  // this load made is removed.
  if (!g_state.classRegistered) return;
  if (UnregisterClassA(kWindowClass, g_state.instance)) g_state.classRegistered = false;
}

}  // namespace pb::ui
