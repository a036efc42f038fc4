// The toolkit's window class "KUI", registered for the whole process.
#pragma once

namespace pb::ui {

// Registers "KUI" with DllWndProc for `instance` (an HINSTANCE) and keeps
// the instance for every window the toolkit makes. A failure (the class
// already exists, say) is ignored.
void RegisterWindowClass(void* instance) noexcept;

// Unregisters "KUI" if this load registered it; for FreeLibrary only. While
// a window of the class still exists the window manager refuses, and the
// class stays with a window procedure about to be unmapped: a caller must
// UIFinish every window before unloading.
void UnregisterWindowClass() noexcept;

}  // namespace pb::ui
