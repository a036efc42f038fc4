#include "toolkit.h"

#include <cstdio>
#include <cstdlib>

namespace uitest {

namespace {

template <typename Fn>
void Resolve(HMODULE dll, const char* name, Fn& fn) {
  fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

std::vector<Seen> g_log;
Reaction g_react;

}  // namespace

bool Toolkit::complete() const {
  return dll && MakeWindow && Run && Finish && AddTimer && KillTimer && AddButton && AddTextBox &&
         AddCheckbox && AddLabel && Hide && GetChecked && SetText && GetText && wndProc &&
         timerProc && DllMain;
}

const char* ClassName() {
  const char* name = std::getenv("PB_CLASS");
  return name && *name ? name : "KUI";
}

Toolkit LoadToolkit() {
  Toolkit tk;
  const char* path = std::getenv("PB_DLL");
  tk.dll = LoadLibraryA(path ? path : "parambridge.dll");
  if (!tk.dll) return tk;
  Resolve(tk.dll, "UIMakeWindow", tk.MakeWindow);
  Resolve(tk.dll, "UIRun", tk.Run);
  Resolve(tk.dll, "UIFinish", tk.Finish);
  Resolve(tk.dll, "UIAddTimer", tk.AddTimer);
  Resolve(tk.dll, "UIKillTimer", tk.KillTimer);
  Resolve(tk.dll, "UIAddButton", tk.AddButton);
  Resolve(tk.dll, "UIAddTextBox", tk.AddTextBox);
  Resolve(tk.dll, "UIAddCheckbox", tk.AddCheckbox);
  Resolve(tk.dll, "UIAddLabel", tk.AddLabel);
  Resolve(tk.dll, "UIHide", tk.Hide);
  Resolve(tk.dll, "UIGetChecked", tk.GetChecked);
  Resolve(tk.dll, "UISetText", tk.SetText);
  Resolve(tk.dll, "UIGetText", tk.GetText);
  Resolve(tk.dll, "_DllWndProc@16", tk.wndProc);
  Resolve(tk.dll, "_TimerProc@16", tk.timerProc);
  Resolve(tk.dll, "_DllMain@12", tk.DllMain);
  return tk;
}

bool __cdecl Record(UINT message, WPARAM wParam, LPARAM lParam, int* handled) {
  const Seen seen{message, wParam, lParam, handled != nullptr, handled ? *handled : -1};
  if (g_log.size() < g_log.capacity()) g_log.push_back(seen);
  if (message == kWatchdog) return true;
  try {
    return g_react ? g_react(seen, handled) : false;
  } catch (...) {
    std::fprintf(stderr, "reaction threw\n");
    return true;
  }
}

std::vector<Seen>& Log() { return g_log; }
void SetReaction(Reaction react) { g_react = std::move(react); }
void ResetRecorder() {
  g_log.clear();
  g_log.reserve(200000);
  g_react = nullptr;
}

Expect Msg(UINT message) { return Expect{message}; }
Expect Msg(UINT message, WPARAM wParam) { return Expect{message, wParam, 0, true, false}; }
Expect Msg(UINT message, WPARAM wParam, LPARAM lParam) {
  return Expect{message, wParam, lParam, true, true};
}

std::string Describe(const std::vector<Seen>& seen) {
  std::string out;
  char line[96];
  for (const Seen& s : seen) {
    std::snprintf(line, sizeof line, "  %04x w=%08lx l=%08lx\n", s.message,
                  static_cast<unsigned long>(s.wParam), static_cast<unsigned long>(s.lParam));
    out += line;
  }
  return out;
}

std::string MissingFrom(const std::vector<Seen>& seen, const std::vector<Expect>& expected) {
  std::size_t at = 0;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Expect& e = expected[i];
    while (at < seen.size() && !(seen[at].message == e.message &&
                                 (!e.checkW || seen[at].wParam == e.wParam) &&
                                 (!e.checkL || seen[at].lParam == e.lParam))) {
      ++at;
    }
    if (at == seen.size()) {
      char head[128];
      std::snprintf(head, sizeof head, "expected #%u, message %04x w=%08lx l=%08lx, not found in:\n",
                    static_cast<unsigned>(i), e.message, static_cast<unsigned long>(e.wParam),
                    static_cast<unsigned long>(e.lParam));
      return head + Describe(seen);
    }
    ++at;
  }
  return {};
}

namespace {

struct Watchdog {
  HWND host;
  DWORD limitMs;
  HANDLE cancel;
  volatile LONG fired;
};

DWORD WINAPI WatchdogMain(void* arg) {
  auto* w = static_cast<Watchdog*>(arg);
  if (WaitForSingleObject(w->cancel, w->limitMs) == WAIT_TIMEOUT) {
    InterlockedExchange(&w->fired, 1);
    PostMessageA(w->host, kWatchdog, 0, 0);
  }
  return 0;
}

}  // namespace

int RunBounded(const Toolkit& tk, HWND host, DWORD limitMs, bool* timedOut) {
  Watchdog w{host, limitMs, CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
  HANDLE thread = CreateThread(nullptr, 0, WatchdogMain, &w, 0, nullptr);
  const int result = tk.Run();
  SetEvent(w.cancel);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(w.cancel);
  if (timedOut) *timedOut = w.fired != 0;
  return result;
}

namespace {
BOOL CALLBACK DestroyOne(HWND hwnd, LPARAM) {
  DestroyWindow(hwnd);
  return TRUE;
}
}  // namespace

void DestroyThreadWindows() {
  EnumThreadWindows(GetCurrentThreadId(), DestroyOne, 0);
  MSG m;
  while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
  }
}

bool TakeQuit(WPARAM* exitCode) {
  MSG m;
  if (!PeekMessageA(&m, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
  if (exitCode) *exitCode = m.wParam;
  return true;
}

namespace {
CreationSpy* g_spy = nullptr;

LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && g_spy && g_spy->created.size() < g_spy->created.capacity()) {
    const CREATESTRUCTA* cs = reinterpret_cast<CBT_CREATEWNDA*>(lParam)->lpcs;
    Created c{};
    if (HIWORD(reinterpret_cast<UINT_PTR>(cs->lpszClass))) c.cls = cs->lpszClass;
    c.hasText = cs->lpszName != nullptr;
    if (cs->lpszName) c.text = cs->lpszName;
    c.style = cs->style;
    c.exStyle = cs->dwExStyle;
    c.menu = cs->hMenu;
    c.instance = cs->hInstance;
    c.parent = cs->hwndParent;
    c.x = cs->x, c.y = cs->y, c.cx = cs->cx, c.cy = cs->cy;
    g_spy->created.push_back(c);  // within capacity: cannot throw
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}
}  // namespace

CreationSpy::CreationSpy() {
  created.reserve(1000);
  g_spy = this;
  hook_ = SetWindowsHookExA(WH_CBT, CbtHook, nullptr, GetCurrentThreadId());
}

std::vector<Created> CreationSpy::Of(const char* cls) const {
  std::vector<Created> out;
  for (const Created& c : created)
    if (c.cls == cls) out.push_back(c);
  return out;
}

CreationSpy::~CreationSpy() {
  if (hook_) UnhookWindowsHookEx(hook_);
  g_spy = nullptr;
}

RECT ScreenRect(HWND hwnd) {
  RECT r{};
  GetWindowRect(hwnd, &r);
  return r;
}

RECT ClientRectInParent(HWND child) {
  RECT r = ScreenRect(child);
  MapWindowPoints(HWND_DESKTOP, GetParent(child), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace uitest
