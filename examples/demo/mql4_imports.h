// What an MQL4 program imports, one row per function, as
// examples/Include/parambridge.mqh declares it for MQL4:
//
//   X(module, name, convention, argument bytes, result)
//
// module      the DLL without ".dll"
// convention  how the export itself removes its arguments (cdecl: the caller
//             does; stdcall: the callee does). MQL4 cannot declare a
//             convention and its documentation asks for stdcall; the cdecl
//             toolkit exports rely on the terminal putting its stack
//             pointer back after a DLL call (see the .mqh). The demo host
//             calls each with its own convention.
// bytes       what the caller pushes: every MQL4 argument takes a 4-byte
//             slot (int, uint, a uchar&[] array, a struct&) except double,
//             which takes 8.
// result      where the result comes back: int (EAX; int, uint, a handle or
//             an address), double (the x87 register ST(0), which the caller
//             must pop) or void. A double export declared int would leave
//             its value on the x87 stack at every call; eight such calls
//             fill it.
//
// examples/demo/check_kit_imports.py compares these rows with the
// .mqh's #import blocks and with module/parambridge.def; the demo host's
// function pointer types are static_assert-checked against them. Keep the
// one-row-per-line layout: the checker reads it.
#pragma once

#define PB_MQL4_IMPORTS(X)                                  \
  X(parambridge, func101, stdcall, 8, double)               \
  X(parambridge, func102, stdcall, 16, double)              \
  X(parambridge, func103, stdcall, 16, double)              \
  X(parambridge, LoadParameters, stdcall, 8, int)           \
  X(parambridge, RefreshParameters, stdcall, 8, int)        \
  X(parambridge, GetLastErrorDescription, stdcall, 4, void) \
  X(parambridge, UIMakeWindow, cdecl, 28, int)              \
  X(parambridge, UIFinish, cdecl, 0, int)                   \
  X(parambridge, UIAddTimer, cdecl, 8, int)                 \
  X(parambridge, UIKillTimer, cdecl, 4, int)                \
  X(parambridge, UIAddButton, cdecl, 20, int)               \
  X(parambridge, UIAddTextBox, cdecl, 28, int)              \
  X(parambridge, UIAddCheckbox, cdecl, 24, int)             \
  X(parambridge, UIAddLabel, cdecl, 20, int)                \
  X(parambridge, UIHide, cdecl, 4, int)                     \
  X(parambridge, UIGetChecked, cdecl, 4, int)               \
  X(parambridge, UISetText, cdecl, 8, int)                  \
  X(parambridge, UIGetText, cdecl, 4, int)                  \
  X(kernel32, lstrlenA, stdcall, 4, int)                    \
  X(kernel32, lstrcpynA, stdcall, 12, int)                  \
  X(kernel32, GetProcessHeap, stdcall, 0, int)              \
  X(kernel32, HeapFree, stdcall, 12, int)                   \
  X(kernel32, RtlZeroMemory, stdcall, 8, void)              \
  X(user32, PeekMessageA, stdcall, 20, int)                 \
  X(user32, IsDialogMessageA, stdcall, 8, int)              \
  X(user32, TranslateMessage, stdcall, 4, int)              \
  X(user32, DispatchMessageA, stdcall, 4, int)              \
  X(user32, IsWindow, stdcall, 4, int)                      \
  X(user32, GetFocus, stdcall, 0, int)

// Exports of parambridge.dll that an MQL4 program cannot (or must not)
// import, with the reason. Y(export name, C++ alias in the demo, convention, bytes or -1
// when no fixed size applies, reason). The demo host, a C++ program, may
// still call those with a size.
#define PB_NOT_FOR_MQL4(Y)                                                              \
  Y("UIRun", UIRun, cdecl, 0,                                                           \
    "with no callback it returns only when the window is destroyed; IsStopped() cannot end it") \
  Y("_GetLastErrorCode@0", GetLastErrorCode, stdcall, 0,                                \
    "'@' cannot stand in an MQL4 identifier and #import has no alias")                  \
  Y("GetParameter", GetParameter, cdecl, -1,                                            \
    "takes a std::string by value: only callers built with the same toolchain")        \
  Y("_DllMain@12", DllMain, stdcall, 12, "the module's entry, called by the loader")    \
  Y("_DllWndProc@16", DllWndProc, stdcall, 16, "the window procedure of the KUI class") \
  Y("_TimerProc@16", TimerProc, stdcall, 16, "the timer procedure of the toolkit")
