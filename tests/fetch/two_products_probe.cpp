// Two products built from this project in one terminal process: the default
// DLL (window class "KUI") and one built with another name and server
// (class "KUI.<name>"). Usage:
//
//   two_products_probe FIRST.dll SECOND.dll UNLOAD
//
// Loads both, fetches with each (account 12345, type 0), gives each a
// window with a timer (id 7 for FIRST, 9 for SECOND), pumps until both
// callbacks have ticked, then unloads FIRST or SECOND (UNLOAD is "first" or
// "second") and pumps until the one left has ticked again. Prints:
//
//   load NAME R F101         LoadParameters' result and func101
//   class NAME own=0|1       the module's class runs the module's DllWndProc
//   ticks NAME ID,ID,...     the WM_TIMER ids NAME's callback heard, in order
//   after NAME alive=0|1 class=0|1 ticks ID,ID,...
//                            the one left: its window, its class, its ticks
//   timeout                  a callback did not tick within 30 s (a hang guard)
//
// Exit status 0 when it ran to the end, 2 for a bad command line, 3 when a
// DLL or an export cannot be found.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using LoadFn = std::int32_t(__stdcall*)(const char*, std::int32_t);
using Getter8Fn = double(__stdcall*)(std::int32_t, std::int32_t);
using Callback = bool(__cdecl*)(UINT, WPARAM, LPARAM, int*);
using MakeWindowFn = HWND(__cdecl*)(const char*, int, int, int, int, int, Callback);
using AddTimerFn = UINT_PTR(__cdecl*)(UINT_PTR, int);

struct Product {
  const char* name;
  HMODULE dll;
  const char* className;
  UINT_PTR timerId;
  HWND host = nullptr;
  std::vector<UINT_PTR> ticks;
};

Product g_products[2] = {{"first", nullptr, "KUI", 7, nullptr, {}}, {"second", nullptr, nullptr, 9, nullptr, {}}};

template <typename Fn>
Fn Proc(HMODULE dll, const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
}

// Each product's callback records the timer ids it hears; no exception can
// leave it (vector storage is reserved up front).
template <int N>
bool __cdecl Heard(UINT message, WPARAM wParam, LPARAM, int*) {
  if (message == WM_TIMER && g_products[N].ticks.size() < g_products[N].ticks.capacity()) {
    g_products[N].ticks.push_back(wParam);
  }
  return false;
}

std::string Ids(const std::vector<UINT_PTR>& ids) {
  std::string text;
  for (UINT_PTR id : ids) text += (text.empty() ? "" : ",") + std::to_string(id);
  return text.empty() ? "-" : text;
}

bool OwnClass(const Product& p) {
  WNDCLASSA wc{};
  if (!GetClassInfoA(p.dll, p.className, &wc)) return false;
  return reinterpret_cast<void*>(wc.lpfnWndProc) ==
         reinterpret_cast<void*>(GetProcAddress(p.dll, "_DllWndProc@16"));
}

// Pumps this thread's messages until every product in `which` has heard at
// least `count` ticks; false after 30 s (a hang guard, not a measure).
bool PumpUntil(std::vector<Product*> which, std::size_t count) {
  const DWORD start = GetTickCount();
  for (;;) {
    bool done = true;
    for (Product* p : which) done = done && p->ticks.size() >= count;
    if (done) return true;
    if (GetTickCount() - start > 30000) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLINPUT);
    MSG m;
    while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&m);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4 || (std::strcmp(argv[3], "first") != 0 && std::strcmp(argv[3], "second") != 0)) {
    std::fprintf(stderr, "usage: two_products_probe FIRST.dll SECOND.dll first|second\n");
    return 2;
  }
  // The second product's class: KUI.<its name without 64 and .dll>.
  std::string second = argv[2];
  second = second.substr(second.find_last_of("/\\") + 1);
  second = second.substr(0, second.size() - 4);
  if (second.size() > 2 && second.compare(second.size() - 2, 2, "64") == 0) second.resize(second.size() - 2);
  const std::string secondClass = "KUI." + second;
  g_products[1].className = secondClass.c_str();

  Callback callbacks[2] = {Heard<0>, Heard<1>};
  for (int i = 0; i < 2; ++i) {
    Product& p = g_products[i];
    p.ticks.reserve(64);
    p.dll = LoadLibraryA(argv[1 + i]);
    if (!p.dll) {
      std::fprintf(stderr, "cannot load %s: %lu\n", argv[1 + i], GetLastError());
      return 3;
    }
  }
  for (int i = 0; i < 2; ++i) {
    Product& p = g_products[i];
    auto load = Proc<LoadFn>(p.dll, "LoadParameters");
    auto f101 = Proc<Getter8Fn>(p.dll, "func101");
    auto make = Proc<MakeWindowFn>(p.dll, "UIMakeWindow");
    auto timer = Proc<AddTimerFn>(p.dll, "UIAddTimer");
    if (!load || !f101 || !make || !timer) return 3;
    const std::int32_t r = load("12345", 0);
    std::printf("load %s %d %.17g\n", p.name, static_cast<int>(r), f101(0, 0));
    p.host = make(p.name, 100 + 300 * i, 100, 250, 120, 0, callbacks[i]);
    if (!p.host || !timer(p.timerId, 0)) return 3;
    std::printf("class %s own=%d\n", p.name, OwnClass(p) ? 1 : 0);
  }
  const bool ticked = PumpUntil({&g_products[0], &g_products[1]}, 2);
  for (const Product& p : g_products) std::printf("ticks %s %s\n", p.name, Ids(p.ticks).c_str());
  if (!ticked) {
    std::printf("timeout\n");
    return 0;
  }

  const int gone = std::strcmp(argv[3], "first") == 0 ? 0 : 1;
  Product& left = g_products[1 - gone];
  FreeLibrary(g_products[gone].dll);
  left.ticks.clear();
  const bool again = PumpUntil({&left}, 2);
  std::printf("after %s alive=%d class=%d ticks %s\n", left.name, IsWindow(left.host) ? 1 : 0,
              OwnClass(left) ? 1 : 0, Ids(left.ticks).c_str());
  if (!again) std::printf("timeout\n");
  std::fflush(stdout);
  return 0;
}
