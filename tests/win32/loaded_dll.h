// The DLL under test, loaded once per test program as a terminal loads it:
// the file PB_DLL names (parambridge.dll or parambridge64.dll).
#pragma once

#include <windows.h>

#include <cstdlib>

namespace pbtest {

inline HMODULE Dll() {
  static HMODULE dll = [] {
    const char* path = std::getenv("PB_DLL");
    return LoadLibraryA(path ? path : "parambridge.dll");
  }();
  return dll;
}

// Through void*: a direct cast from FARPROC trips -Wcast-function-type.
template <typename Fn>
Fn Proc(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(Dll(), name)));
}

}  // namespace pbtest
