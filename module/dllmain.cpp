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
      // Windows keeps a DLL's classes registered after FreeLibrary, with a
      // window procedure in freed memory; a later load would find "KUI"
      // taken and crash on its next window. At process exit (reserved
      // non-null) the process goes away with its classes: nothing to do.
      if (reserved == nullptr) pb::ui::UnregisterWindowClass();
      break;
    default:
      break;
  }
  return TRUE;
}
