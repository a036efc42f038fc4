// The toolkit's window class "KUI", registered for the whole process.
#pragma once

namespace pb::ui {

// Registers "KUI" with DllWndProc for `instance` (an HINSTANCE) and keeps
// the instance for every window the toolkit makes. A failure (the class
// already exists, say) is ignored.
void RegisterWindowClass(void* instance) noexcept;

// Unregisters "KUI" if this load registered it; for FreeLibrary only. Fails
// (harmlessly) while a window of the class still exists.
void UnregisterWindowClass() noexcept;

}  // namespace pb::ui
