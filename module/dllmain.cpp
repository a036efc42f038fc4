// The module entry.
#include <windows.h>

#include "params/store.h"
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
      // No fetch worker runs at FreeLibrary (each holds a reference on the
      // module), so the store's snapshots can go. At process exit they are
      // left to the process: a worker ended there inside the heap may have
      // left the heap's lock held, and a free would wait for it forever.
      if (reserved == nullptr) {
        pb::ui::ReleaseWindowsForUnload();
        pb::ui::UnregisterWindowClass();
        pb::ReleaseStoreForUnload();
      }
      break;
    default:
      break;
  }
  return TRUE;
}
