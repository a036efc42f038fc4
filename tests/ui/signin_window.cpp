// A sign-in window built with the toolkit, for a driver outside Wine to
// use as a person would. Protocol on stdout, one line each, flushed:
//   AT <name> <x> <y>      screen point inside each control to click
//   WINDOW <l> <t> <r> <b> the host window's screen rectangle
//   READY                  the loop is about to run
// then, after UIRun has returned:
//   END ok|cancel|timeout
//   TEXT <name> <text>     for each edit box
//   CHECKED <0|1>
// A 60 s toolkit timer ends the loop if nobody clicks, so the program always
// exits. The DLL is the one PB_DLL names.
#include <cstdio>

#include "toolkit.h"

namespace {

HWND g_ok, g_cancel;
const char* g_end = "none";

bool __cdecl OnMessage(UINT message, WPARAM, LPARAM lParam, int*) {
  if (message == WM_COMMAND && lParam == reinterpret_cast<LPARAM>(g_ok)) {
    g_end = "ok";
    return true;
  }
  if (message == WM_COMMAND && lParam == reinterpret_cast<LPARAM>(g_cancel)) {
    g_end = "cancel";
    return true;
  }
  if (message == WM_TIMER) {
    g_end = "timeout";
    return true;
  }
  return false;
}

void PrintCentre(const char* name, HWND hwnd) {
  const RECT r = uitest::ScreenRect(hwnd);
  std::printf("AT %s %ld %ld\n", name, (r.left + r.right) / 2, (r.top + r.bottom) / 2);
}

}  // namespace

int main() {
  uitest::Toolkit tk = uitest::LoadToolkit();
  if (!tk.complete()) {
    std::printf("ERROR load %lu\n", GetLastError());
    return 2;
  }
  HWND host = tk.MakeWindow("Sign in", 640, 360, 380, 230, 0, OnMessage);
  tk.AddLabel("Account", 20, 22, 20, 90);
  HWND account = tk.AddTextBox("", 120, 20, 24, 220, 0, 1);
  tk.AddLabel("Password", 20, 58, 20, 90);
  HWND password = tk.AddTextBox("", 120, 56, 24, 220, 1, 0);
  HWND remember = tk.AddCheckbox(0, "Remember this account", 120, 92, 22, 220);
  g_ok = tk.AddButton("OK", 120, 136, 28, 100);
  g_cancel = tk.AddButton("Cancel", 240, 136, 28, 100);
  if (!host || !account || !password || !remember || !g_ok || !g_cancel) {
    std::printf("ERROR build\n");
    return 2;
  }
  tk.AddTimer(1, 60);

  PrintCentre("account", account);
  PrintCentre("password", password);
  PrintCentre("remember", remember);
  PrintCentre("ok", g_ok);
  const RECT w = uitest::ScreenRect(host);
  std::printf("WINDOW %ld %ld %ld %ld\nREADY\n", w.left, w.top, w.right, w.bottom);
  std::fflush(stdout);

  tk.Run();

  std::printf("END %s\n", g_end);
  std::printf("TEXT account %s\n", tk.GetText(account));
  std::printf("TEXT password %s\n", tk.GetText(password));
  std::printf("CHECKED %d\n", tk.GetChecked(remember));
  std::fflush(stdout);
  tk.Finish();
  return 0;
}
