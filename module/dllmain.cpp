// The module entry. The runtime's start-up code has built the parameter
// store and the error texts by the time this runs.
#include <windows.h>

#include "ui/window_class.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      pb::ui::RegisterWindowClass(instance);
      break;
    case DLL_PROCESS_DETACH:
      // FreeLibrary (reserved null) while a toolkit window is open, as when
      // a script is removed with its dialog up: the window, its timers and
      // the class would go on pointing into the unmapped module. Windows
      // keeps a DLL's classes registered after FreeLibrary, so a later load
      // would find "KUI" taken, too. At process exit (reserved non-null) the
      // process goes away with its windows and classes: nothing to do.
      if (reserved == nullptr) {
        pb::ui::ReleaseWindowsForUnload();
        pb::ui::UnregisterWindowClass();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
