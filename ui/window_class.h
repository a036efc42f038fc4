// The toolkit's window class "KUI", registered for the whole process.
#pragma once

namespace pb::ui {

// Registers "KUI" with DllWndProc for `instance` (an HINSTANCE) and keeps
// the instance for every window the toolkit makes. A failure (the class
// already exists, say) is ignored.
void RegisterWindowClass(void* instance);

// Unregisters "KUI" for the instance kept above; for FreeLibrary only.
void UnregisterWindowClass();

}  // namespace pb::ui
