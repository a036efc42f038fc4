// The real parambridge.dll's window toolkit, loaded with LoadLibrary as the
// terminal loads it, and a window callback that records what reaches it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace uitest {

// The callback as the caller writes it: cdecl, a one-byte bool result.
using Callback = bool(__cdecl*)(UINT message, WPARAM wParam, LPARAM lParam, int* handled);

struct Toolkit {
  HMODULE dll = nullptr;
  HWND(__cdecl* MakeWindow)(const char*, int, int, int, int, int, Callback) = nullptr;
  int(__cdecl* Run)() = nullptr;
  int(__cdecl* Finish)() = nullptr;
  UINT_PTR(__cdecl* AddTimer)(UINT_PTR, int) = nullptr;
  BOOL(__cdecl* KillTimer)(UINT_PTR) = nullptr;
  // Flags fill their whole argument slot (4 bytes on i686, 8 on x86-64), so
  // that tests can put garbage above the low byte.
  HWND(__cdecl* AddButton)(const char*, int, int, int, int) = nullptr;
  HWND(__cdecl* AddTextBox)(const char*, int, int, int, int, std::uintptr_t, std::uintptr_t) = nullptr;
  HWND(__cdecl* AddCheckbox)(std::uintptr_t, const char*, int, int, int, int) = nullptr;
  HWND(__cdecl* AddLabel)(const char*, int, int, int, int) = nullptr;
  BOOL(__cdecl* Hide)(HWND) = nullptr;
  int(__cdecl* GetChecked)(HWND) = nullptr;
  LRESULT(__cdecl* SetText)(HWND, const char*) = nullptr;
  char*(__cdecl* GetText)(HWND) = nullptr;
  void* wndProc = nullptr;   // _DllWndProc@16
  void* timerProc = nullptr;  // _TimerProc@16
  BOOL(WINAPI* DllMain)(HINSTANCE, DWORD, LPVOID) = nullptr;

  bool complete() const;
};

// The window class the DLL under test registers: PB_CLASS, or "KUI" (the
// default build's; a build named for a vendor registers "KUI.<name>").
const char* ClassName();

// Loads the DLL named by PB_DLL (or parambridge.dll) and resolves every
// toolkit export. dll is null on failure.
Toolkit LoadToolkit();

// What one call of the recording callback saw.
struct Seen {
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  bool handledPtrNonNull;
  int handledOnEntry;
};

// A message posted by the watchdog thread; the recorder always answers it
// with a stop.
constexpr UINT kWatchdog = WM_APP + 99;

// The recorder: every call is appended to Log(); React (if set) chooses the
// result and may write *handled. Nothing escapes it: the log's storage is
// reserved up front and React runs under catch(...).
bool __cdecl Record(UINT message, WPARAM wParam, LPARAM lParam, int* handled);
std::vector<Seen>& Log();
using Reaction = std::function<bool(const Seen&, int* handled)>;
void SetReaction(Reaction react);
void ResetRecorder();

// One expected call of the callback; zero fields other than message match
// anything unless the matching check flag is set.
struct Expect {
  UINT message;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
  bool checkW = false;
  bool checkL = false;
};
Expect Msg(UINT message);
Expect Msg(UINT message, WPARAM wParam);
Expect Msg(UINT message, WPARAM wParam, LPARAM lParam);

// Empty when `expected` occurs in `seen` in order (other messages may come
// between); otherwise a description of the first missing entry and the log.
std::string MissingFrom(const std::vector<Seen>& seen, const std::vector<Expect>& expected);
std::string Describe(const std::vector<Seen>& seen);

// Runs UIRun, with a watchdog that posts kWatchdog to `host` after
// `limitMs`. Returns UIRun's result; *timedOut says whether the watchdog
// fired.
int RunBounded(const Toolkit& tk, HWND host, DWORD limitMs, bool* timedOut);

// Destroys every window of this thread and empties its queue, quit flag
// included. Returns whether a WM_QUIT was waiting (and its exit code).
void DestroyThreadWindows();
bool TakeQuit(WPARAM* exitCode = nullptr);

// What CreateWindowEx was called with, caught by a CBT hook on this thread
// for as long as the spy lives.
struct Created {
  std::string cls;  // as the caller spelled it; empty for an atom
  bool hasText;
  std::string text;
  LONG style;
  DWORD exStyle;
  HMENU menu;
  HINSTANCE instance;
  HWND parent;
  int x, y, cx, cy;
};
class CreationSpy {
 public:
  CreationSpy();
  ~CreationSpy();
  std::vector<Created> created;
  std::vector<Created> Of(const char* cls) const;  // those of one class name

 private:
  HHOOK hook_;
};

// The screen rectangle of a window, and a child's rectangle in its parent's
// client coordinates.
RECT ScreenRect(HWND hwnd);
RECT ClientRectInParent(HWND child);

}  // namespace uitest
