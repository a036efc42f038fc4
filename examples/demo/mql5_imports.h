// What an MQL5 program imports, one row per function, as
// examples/Include/parambridge.mqh declares it for MQL5:
//
//   X(module, name, argument kinds, result)
//
// module   the DLL without ".dll"
// kinds    one word per argument, as x86-64 passes it: each argument fills
//          one 8-byte register or stack slot, of which the callee reads
//            i32  the low 4 bytes (MQL5 int, uint; the upper half is
//                 whatever the caller left there)
//            i64  all 8 bytes (long, ulong: handles, addresses, timer ids,
//                 heap sizes)
//            f64  a double, in an XMM register instead
//            ref  an address (a uchar array or a struct by reference)
// result   i32 (EAX), i64 (RAX: a handle, an address, an LRESULT), f64
//          (XMM0) or void
//
// An argument the DLL reads as 8 bytes but the .mqh declares int hands it
// a pointer whose upper half is garbage; a handle result declared int loses
// its upper half; a double result declared anything else is read from RAX,
// which holds no value.
//
// examples/demo/check_kit_imports.py --lang mql5 compares these rows with
// the MQL5 .mqh's #import blocks and with module/parambridge.def; the 64-bit
// demo host's function pointer types are static_assert-checked against
// them (mql4_kit.h). Keep the one-row-per-line layout: the checker reads it.
#pragma once

#define PB_MQL5_IMPORTS(X)                                                      \
  X(parambridge64, func101, "i32 i32", f64)                                     \
  X(parambridge64, func102, "i32 i32 i32 i32", f64)                             \
  X(parambridge64, func103, "i32 i32 i32 i32", f64)                             \
  X(parambridge64, LoadParameters, "ref i32", i32)                              \
  X(parambridge64, RefreshParameters, "ref i32", i32)                           \
  X(parambridge64, GetLastErrorDescription, "ref", void)                        \
  X(parambridge64, UIMakeWindow, "ref i32 i32 i32 i32 i32 i64", i64)            \
  X(parambridge64, UIFinish, "", i32)                                           \
  X(parambridge64, UIAddTimer, "i64 i32", i64)                                  \
  X(parambridge64, UIKillTimer, "i64", i32)                                     \
  X(parambridge64, UIAddButton, "ref i32 i32 i32 i32", i64)                     \
  X(parambridge64, UIAddTextBox, "ref i32 i32 i32 i32 i32 i32", i64)            \
  X(parambridge64, UIAddCheckbox, "i32 ref i32 i32 i32 i32", i64)               \
  X(parambridge64, UIAddLabel, "ref i32 i32 i32 i32", i64)                      \
  X(parambridge64, UIHide, "i64", i32)                                          \
  X(parambridge64, UIGetChecked, "i64", i32)                                    \
  X(parambridge64, UISetText, "i64 ref", i64)                                   \
  X(parambridge64, UIGetText, "i64", i64)                                       \
  X(kernel32, lstrlenA, "i64", i32)                                             \
  X(kernel32, lstrcpynA, "ref i64 i32", i64)                                    \
  X(kernel32, GetProcessHeap, "", i64)                                          \
  X(kernel32, HeapFree, "i64 i32 i64", i32)                                     \
  X(kernel32, RtlZeroMemory, "i64 i64", void)                                   \
  X(user32, PeekMessageA, "ref i64 i32 i32 i32", i32)                           \
  X(user32, IsDialogMessageA, "i64 ref", i32)                                   \
  X(user32, TranslateMessage, "ref", i32)                                       \
  X(user32, DispatchMessageA, "ref", i64)                                       \
  X(user32, IsWindow, "i64", i32)                                               \
  X(user32, GetFocus, "", i64)

// Exports of parambridge64.dll that an MQL5 program cannot (or must not)
// import, with the reason: Y(export name, C++ alias in the demo, reason).
// The demo host, a C++ program, may still call them.
#define PB_NOT_FOR_MQL5(Y)                                                                   \
  Y("UIRun", UIRun,                                                                          \
    "with no callback it returns only when the window is destroyed; IsStopped() cannot end it") \
  Y("_GetLastErrorCode@0", GetLastErrorCode,                                                 \
    "'@' cannot stand in an MQL5 identifier and #import has no alias")                       \
  Y("GetParameter", GetParameter,                                                            \
    "takes a std::string by value: only callers built with the same toolchain")             \
  Y("_DllMain@12", DllMain, "the module's entry, called by the loader")                      \
  Y("_DllWndProc@16", DllWndProc, "the window procedure of the KUI class")                   \
  Y("_TimerProc@16", TimerProc, "the timer procedure of the toolkit")
