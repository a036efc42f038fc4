// The toolkit's window class, registered for the whole process, and what
// becomes of the toolkit's windows when the module is unloaded. The class is
// "KUI" in the default build and "KUI.<product name>" in a build named for a
// vendor (PB_WINDOW_CLASS, set by the build), so that two products in one
// terminal each keep their own class and window procedure. "KUI" below
// stands for whichever this build registers.
#pragma once

#ifndef PB_WINDOW_CLASS
#error "PB_WINDOW_CLASS must be set by the build"
#endif

namespace pb::ui {

inline constexpr char kWindowClass[] = PB_WINDOW_CLASS;

// Registers "KUI" with DllWndProc for `instance` (an HINSTANCE) and keeps
// the instance for every window the toolkit makes. A failure (another
// module's "KUI" exists, say) is ignored. A "KUI" that an unloaded copy of
// this module left behind (see ReleaseWindowsForUnload) is taken over.
void RegisterWindowClass(void* instance) noexcept;

// Registers again if the registration at load failed only because an
// unloaded copy's class was still held by its windows; UIMakeWindow calls it.
void RetryWindowClass() noexcept;

// For FreeLibrary, from DllMain: no message or timer tick of a toolkit window
// may reach this module's code once it is unmapped. Windows of the calling
// thread are destroyed; those of other threads are neutralised and closed on
// their own threads. Then "KUI" is unregistered if this load registered it;
// if a window of another thread still holds it, the class's procedure is
// replaced so that it too runs no freed code.
void ReleaseWindowsForUnload() noexcept;

// Unregisters "KUI" if this load registered it.
void UnregisterWindowClass() noexcept;

}  // namespace pb::ui
