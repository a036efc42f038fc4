//+------------------------------------------------------------------+
//|                                                parambridge.mqh   |
//|  Imports of parambridge.dll for MQL4 (terminal build 600 or      |
//|  later, 32-bit) and of parambridge64.dll for MQL5 (64-bit        |
//|  terminals), and small wrappers that hide the conversions.       |
//+------------------------------------------------------------------+
//
// ONE FILE FOR BOTH LANGUAGES. The same parambridge.mqh goes into
// MQL4\Include and MQL5\Include. Where the languages differ, the text is
// chosen by conditional compilation: "#ifdef __MQL5__ ... #else ... #endif"
// (the MQL4 reference's page on conditional compilation defines __MQL4__
// when a *.mq4 file is compiled and __MQL5__ for a *.mq5 file,
// docs.mql4.com/ru/basis/preprosessor/conditional_compilation; #ifdef,
// #ifndef, #else and #endif: docs.mql4.com/basis/preprosessor/
// conditional_compilation). The #import
// blocks and PbMsg are written out whole for each language (the DLL's
// name, the sizes of handles and of the MSG record differ); the wrappers
// are shared, with PB_HANDLE (int in MQL4, long in MQL5: a window handle
// or a text address) and PB_ID (uint, ulong: a timer id) for the types
// that differ, substituted by #define ("expression can consist of several
// tokens, such as keywords", docs.mql4.com/basis/preprosessor/constant).
// Where the comments below differ, both languages' text is kept, each in
// its branch.
//
#ifdef __MQL5__
// Install: parambridge64.dll into <data folder>\MQL5\Libraries, this file
// into <data folder>\MQL5\Include, and tick "Allow DLL imports" (Tools >
// Options > Expert Advisors, and on the program's Dependencies tab).
// A 64-bit terminal cannot load the 32-bit parambridge.dll (error 193).
#else
// Install: parambridge.dll into <data folder>\MQL4\Libraries, this file
// into <data folder>\MQL4\Include, and tick "Allow DLL imports" (Tools >
// Options > Expert Advisors, and on the program's Common tab).
#endif
//
// RULES FOR A PROGRAM THAT USES THIS FILE
//   1. Never fetch from OnInit, OnTick or OnDeinit (one exception: the
#ifdef __MQL5__
//      strategy tester, below). LoadParameters blocks
//      its thread until the server has answered (up to the transport's
//      15-minute time-outs per phase) and nothing interrupts it. Right
//      after start the terminal may not be connected yet
//      (TerminalInfoInteger(TERMINAL_CONNECTED), "Connection to a trade
//      server", www.mql5.com/en/docs/constants/environment_state/
//      terminalstatus) and AccountInfoInteger(ACCOUNT_LOGIN), a long, can
//      still be 0 (.../environment_state/accountinformation). The MQL5
//      reference's OnDeinit page (www.mql5.com/en/docs/event_handlers/
//      ondeinit) names no time limit; the MQL4 reference gives deinit 2.5 s
//      before the program is ended by force, and this kit assumes no more
//      for MQL5: not certain. Fetch from OnTimer (EventSetTimer in OnInit)
//      once the terminal is connected and the login is not 0, and try a
//      failed fetch again later, waiting longer each time. If the program
//      is removed while a fetch is under way and the terminal ends its
//      thread by force, the DLL holds nothing for it: the exchange runs on
//      the DLL's own thread, finishes there, and its result serves the next
//      caller. In the strategy tester (MQLInfoInteger(MQL_TESTER)) the
//      sample fetches on the first OnTick, where blocking holds up only
//      the test. Experts/ParamBridgeSample.mq5 shows both.
//   2. Expert advisors, scripts and services only. "All indicators
//      calculated on one symbol ... work in the same thread", together
//      with that symbol's ticks and history synchronisation, and "an
//      infinite action" in one of them stops all of them (MQL5 reference,
//      Program Running, www.mql5.com/en/docs/runtime/running); the MQL5
//      book adds that indicators run in the terminal's interface threads,
//      where even Sleep is not allowed
//      (www.mql5.com/en/book/common/timing/timing_sleep). A fetch there
//      would stall every indicator and every tick of the symbol, and a
//      dialog loop there cannot Sleep between messages. PbLoadParameters,
//      PbMakeWindow and PbRunDialog refuse when
//      MQLInfoInteger(MQL_PROGRAM_TYPE) (the running program's type:
//      www.mql5.com/en/book/common/environment/env_type_license) is
//      PROGRAM_INDICATOR and say so once with Print. An indicator that an
//      expert advisor creates with iCustom is still an indicator, on the
//      symbol's indicator thread: fetch in the expert itself and pass the
//      values to the indicator as inputs.
#else
//      strategy tester, below). LoadParameters blocks its thread until the
//      server has answered (up to the transport's 15-minute time-outs per
//      phase) and nothing interrupts it. Right after start AccountNumber()
//      can still be 0 (not logged in yet), and the terminal gives OnDeinit
//      2.5 s before it ends the program by force. Fetch from OnTimer
//      (EventSetTimer in OnInit) once IsConnected() is true and
//      AccountNumber() is not 0, and try a failed fetch again later,
//      waiting longer each time. If the program is removed while a fetch is
//      under way and the terminal ends its thread by force, the DLL holds
//      nothing for it: the exchange runs on the DLL's own thread, finishes
//      there, and its result serves the next caller. The strategy tester
//      sends no timer events: there (IsTesting()) fetch on the first
//      OnTick instead, where blocking holds up only the test.
//      Experts/ParamBridgeSample.mq4 shows both.
//   2. Expert advisors and scripts only. An indicator runs on the
//      terminal's interface thread: a fetch there freezes the whole
//      terminal, and a dialog loop there spins without ever seeing input.
//      PbLoadParameters, PbMakeWindow and PbRunDialog refuse in an
//      indicator and say so once with Print. An indicator that an expert
//      advisor reaches through iCustom runs on that expert's thread, but it
//      is still an indicator to MQLInfoInteger(MQL_PROGRAM_TYPE), so it is
//      refused too: fetch in the expert itself and pass the values to the
//      indicator as inputs.
#endif
//   3. One account per terminal session. After a success the DLL keeps its
//      parameters until it is unloaded, whatever account is logged in
//      later, and answers every later LoadParameters with 1 at once. So
//      the first program to fetch claims the session for its account and
//      account type (THE CLAIM, below), and PbLoadParameters gives every
//      other account or type PB_LOAD_OTHER_ACCOUNT (with an Alert and a
//      Print naming both) without calling the DLL. Do not trade on the
//      values then: restart the terminal to fetch for the new account.
#ifdef __MQL5__
//      A 32-bit terminal with parambridge.dll keeps its own parameters
//      and its own global variables.
#endif
//   4. Finish every window before leaving the handler that made it. The
//      window belongs to the thread that made it and only PbRunDialog reads
//      its messages: left open between handlers it stops answering. Call
//      PbDialogClose() in OnDeinit as a last resort (a program stopped in
//      the middle of a dialog).
#ifdef __MQL5__
//   5. Threads. Every expert, script and service runs on a thread of its
//      own, and they may all call the parameter service at once:
//      exchanges run one at a time on the DLL's own thread (a program that
//      waited behind a successful fetch gets 1 at once, without a request
//      of its own; one ended while it waits holds nothing), and the getters
//      never wait for a fetch in progress.
//      The window toolkit is single-threaded: one dialog per terminal at a
//      time, and every call for it from the program (the thread) that made
//      it.
#else
//   5. Threads. Every chart's program runs on a thread of its own, and they
//      may all call the parameter service at once: exchanges run one at a
//      time on the DLL's own thread (a program that waited behind a
//      successful fetch gets 1 at once, without a request of its own; one
//      ended while it waits holds nothing), and the getters never wait for
//      a fetch in progress. The window toolkit is
//      single-threaded: one dialog per terminal at a time, and every call
//      for it from the program (the thread) that made it.
#endif
//   6. "Allow DLL imports". Every Pb... function that calls an import
//      asks PbDllsAllowed() first: when the terminal or the program does
//      not allow DLL imports it calls nothing, says once with Print where
//      to tick it, and returns its failure value (PbLoadParameters and
//      PbRefreshParameters: PB_LOAD_DLLS_OFF). Your own code needs no check of its own, as long
//      as it calls the imports only through the Pb... functions.
//   7. A failed fetch (PB_LOAD_FAILED): PbFailureKind(PbLastErrorDescription())
//      tells a refusal by the server (trying again does not help until the
//      vendor acts: stop and show its text) from no connection or an
//      unreadable reply (try again later, waiting longer each time).
//   8. Refresh. A success is kept until the DLL is unloaded, so a licence
//      revoked or a value changed by the vendor reaches a running terminal
//      only through PbRefreshParameters: call it from OnTimer every
//      PB_REFRESH_MINUTES minutes once loaded (never from OnTick: it
//      blocks, at most 30 s, the DLL's own limit for RefreshParameters).
//      PB_LOAD_OK: the server confirmed, the new values are in place (all
//      of one reply; a getter never mixes two). PB_REFRESH_REVOKED: the
//      server refused this account (its statuses 201 to 299), the DLL
//      holds no parameters any more: stop trading at once and show
//      PbLastErrorDescription(). PB_REFRESH_KEPT: no decision (no
//      connection, an unreadable reply, any other status, an empty 503 of
//      a load balancer): the DLL keeps the last good values and the kit
//      records since when they are unconfirmed (PbUnconfirmedSince);
//      trade on them until PbGraceOver(), PB_GRACE_HOURS after the first
//      such failure, then stop until a refresh confirms them again. The
//      record is a temporary terminal global variable (PB_GV_UNCONFIRMED)
//      shared by the programs of the session, so attaching the expert
//      again does not start the grace period anew.
//      PB_REFRESH_MINUTES (default 60) and PB_GRACE_HOURS (default 72) are
//      the vendor's: #define them before #include <parambridge.mqh>. Keep
//      them out of the inputs, where a customer could set them to 0.
//   9. The account type is the terminal's own:
//      (int)AccountInfoInteger(ACCOUNT_TRADE_MODE), ENUM_ACCOUNT_TRADE_MODE
//      (demo, contest, real: 0, 1, 2; docs.mql4.com/constants/
//      environment_state/accountinformation, the same property in MQL5).
//      Not an input: a customer who could choose it could pass a demo
//      licence off on a real account.
//
// THE CLAIM. The DLL fetches once per terminal session (rule 3), so the
// programs of one terminal must agree whose parameters it holds before any
// of them asks. PbLoadParameters claims the record first, in one step: the
// temporary terminal global variable PB_GV_CLAIM holds one double,
// account * PB_ACCOUNT_TYPES + type + 1, exact for every 15-digit account
// and type 0 to 7 (at most 8 * 10^15, below 2^53) and never 0. It is
// created with GlobalVariableTemp ("exist only while the client terminal is
// running", docs.mql4.com/globals/globalvariabletemp) and claimed with
// GlobalVariableSetOnCondition(name, claim, 0), which sets "the new value
// of the existing global variable if the current value equals to the third
// parameter" and "provides atomic access to the global variable"
// (docs.mql4.com/globals/globalvariablesetoncondition; MQL5 has the same
// functions, docs.mql4.com/mql5_language/mql5_functions/mql5_globals, and
// a temporary variable "will exist only until the end of the current
// terminal session", www.mql5.com/en/book/common/globals/globals_temp).
// Neither reference says what a new variable holds: the kit takes 0 for
// "no claim", and a variable that holds neither 0, a claim nor
// PB_CLAIM_UNRECORDED makes PbLoadParameters refuse with a Print naming it
// (delete it with F3, Global Variables). Only a program
// whose account and type are the claim's calls LoadParameters; any other
// gets PB_LOAD_OTHER_ACCOUNT, naming both. A claim stays for the session:
// after a failed fetch the next program of the same account tries again,
// and a claimer ended in the middle of its fetch leaves a whole claim and
// an exchange that finishes on the DLL's own thread. A DLL found holding
// parameters before any claim (fetched by a program without this kit) is
// claimed as PB_CLAIM_UNRECORDED: every program of the kit is told so.
//
#ifdef __MQL5__
// WHAT CROSSES THE BOUNDARY (x86-64: one calling convention; every
// argument fills one 8-byte register or stack slot, the caller owns the
// stack, results come back in RAX, or XMM0 for a double)
//   * MQL5 strings are UTF-16; the DLL takes and returns 8-bit text. Every
#else
// WHAT CROSSES THE BOUNDARY
//   * MQL4 strings are UTF-16; the DLL takes and returns 8-bit text. Every
#endif
//     text argument is therefore a uchar array filled by StringToCharArray
//     (which appends the terminating NUL), and the Pb... wrappers below do
#ifdef __MQL5__
//     that for you. "When passing an array to DLL, the address of the data
//     buffer beginning is always passed" (MQL5 book, DLL connection
//     specifics, www.mql5.com/en/book/advanced/libraries/libraries_dll).
//     Characters outside the system code page arrive as '?'.
#else
//     that for you. Characters outside the system code page arrive as '?'.
#endif
//   * The account goes into the request body as it is, unescaped:
//     PbLoadParameters accepts only 1 to 15 digits (PbAccountIsValid).
#ifdef __MQL5__
//     ACCOUNT_LOGIN is a long; a login of more than 15 digits (none is
//     known) is refused, as a terminal global variable (a double) could
//     not hold it exactly.
#endif
//   * The server's description text (statuses above 100) is bytes passed
//     through unchanged; the kit decodes them with CP_ACP, the system code
//     page. A server that sends another encoding shows garbled text.
#ifdef __MQL5__
//   * Window handles, text addresses, the heap handle and the callback are
//     pointer-sized: long (8 bytes; int is 4, www.mql5.com/en/docs/basis/
//     types/integer/integertypes), never int. An int argument fills only
//     the low half of its register, and the DLL would read whatever the
//     upper half holds; an int result drops the upper half of the handle.
//     Timer ids are ulong (UINT_PTR). UISetText returns an LRESULT: long.
//   * The flags of UIAddTextBox and UIAddCheckbox are declared int (pass 0
//     or 1): the DLL tests the low byte of the slot, and how MQL5 widens a
//     1-byte bool into it is not documented.
//   * func101 to func103 take two and four int words that they never read
//     (on x86-64 they cost nothing; the names and their arguments are the
//     same as in the 32-bit DLL). They return a double, in XMM0: declared
//     anything else, the program would read RAX, which holds no value.
//   * UIGetText returns the address of 8-bit text, declared long. Pure MQL5
//     cannot read memory at an address; PbGetText copies the text out with
//     lstrlenA and lstrcpynA from kernel32.dll, which every Windows process
//     has loaded (same "Allow DLL imports" permission, no extra file). Each
//     call gives a new block from the process heap (GetProcessHeap()) that
//     the DLL never frees, so PbReadText zeroes it (RtlZeroMemory, which
//     64-bit kernel32 passes on to ntdll; its length is a SIZE_T, so ulong)
//     and frees it (HeapFree) once it has copied the text: a password read
//     back does not stay in the heap. The copy in your MQL5 string is the
//     terminal's to keep; for a password use PbGetSecret, then PbWipe.
//   * The MSG record that PeekMessageA fills is 48 bytes on x86-64. MQL5
//     lays structures out byte by byte unless told otherwise ("pack(1) ...
//     is identical to default behavior", MQL5 book, Packing structures,
//     www.mql5.com/en/book/oop/structs_and_unions/structs_pack_dll),
//     while Windows aligns MSG's 8-byte members: PbMsg therefore spells out
//     the 4 bytes after message and the 4 at the end, which PeekMessageA
//     writes too. Do not "tidy" them away.
#else
//   * Window handles are plain ints. The flags of UIAddTextBox and
//     UIAddCheckbox are declared int (pass 0 or 1): the DLL tests the low
//     byte of a 4-byte slot, and how MQL4 widens a 1-byte bool into that
//     slot is not documented.
//   * func101 to func103 remove 8, 16 and 16 bytes of arguments that they
//     never read: they are declared with two and four int words and the
//     wrappers pass zeros. They return a double (in the x87 register ST(0));
//     declared anything else, every call would leave a value on the x87
//     stack. Do not "tidy" these declarations.
//   * Calling conventions. MQL4's documentation asks imported DLL functions
//     to use __stdcall (the callee removes its arguments). The parameter
//     service's exports do. The toolkit's exports (UI...) are cdecl, a fixed
//     part of the DLL's interface: after each of them 4 to 28 bytes of
//     arguments are left for the caller to remove. That relies on the
//     terminal putting its own stack pointer back after a DLL call, which is
//     widely relied upon but not documented, and which nobody could check
//     where this kit was made (no terminal runs there). Try the sample
//     script on your terminal before you rely on the toolkit.
//   * UIGetText returns a raw address of 8-bit text, so it is declared as
//     returning int. Pure MQL4 cannot read memory at an address; PbGetText
//     copies the text out with lstrlenA and lstrcpynA from kernel32.dll,
//     which every Windows process has loaded (same "Allow DLL imports"
//     permission, no extra file). Each call gives a new block from the
//     process heap (GetProcessHeap()) that the DLL never frees, so
//     PbReadText zeroes it (RtlZeroMemory) and frees it (HeapFree) once it
//     has copied the text: a password read back does not stay in the heap.
//     The copy in your MQL4 string is the terminal's to keep; for a
//     password use PbGetSecret, then PbWipe.
#endif
//
#ifdef __MQL5__
// WHAT MQL5 CANNOT (OR MUST NOT) IMPORT
#else
// WHAT MQL4 CANNOT (OR MUST NOT) IMPORT
#endif
//   * _GetLastErrorCode@0: the export's name carries '@', which is not
#ifdef __MQL5__
//     allowed in an MQL5 identifier, and #import has no clause that gives
#else
//     allowed in an MQL4 identifier, and #import has no clause that gives
#endif
//     an import another name; the terminal looks the export up by the
#ifdef __MQL5__
//     declared name. (x86-64 decorates nothing, but the export keeps the
//     32-bit DLL's name.) So the numeric code of a failed fetch is not
//     available to MQL5 programs. What is: LoadParameters' result (1
//     loaded, 0 failed) and the description (PbLastErrorDescription):
//     "Could not connect to server." (no answer or an empty one), "Internal
//     dll error" (an unreadable reply or a status of 100 or less), or the
//     server's own text for its statuses above 100 (possibly empty).
#else
//     declared name. So the numeric code of a failed fetch is not
//     available to MQL4 programs. What is: LoadParameters' result (1 loaded,
//     0 failed) and the description (PbLastErrorDescription): "Could not
//     connect to server." (no answer or an empty one), "Internal dll error"
//     (an unreadable reply or a status of 100 or less), or the server's own
//     text for its statuses above 100 (possibly empty).
#endif
//   * GetParameter: takes a C++ std::string object by value. Read the
//     served values through func101 to func103.
#ifdef __MQL5__
//   * UIRun: MQL5 cannot hand the DLL a callback, and without one UIRun
//     returns only when the window is destroyed. Nothing in MQL5 runs while
#else
//   * UIRun: MQL4 cannot hand the DLL a callback, and without one UIRun
//     returns only when the window is destroyed. Nothing in MQL4 runs while
#endif
//     it waits, so IsStopped() cannot end it and the terminal would end the
//     program by force. It is not imported here; C++ callers use it.
//   * _DllMain@12, _DllWndProc@16, _TimerProc@16: for the loader and the
//     window manager, not for callers.
//
#ifdef __MQL5__
// THE WINDOW TOOLKIT FROM MQL5
//   MQL5 cannot hand a function to a DLL, so UIMakeWindow's callback is
//   declared long and always 0. With no callback button clicks (WM_COMMAND)
//   and timer ticks started with UIAddTimer reach no MQL5 code through the
//   DLL. What does work: PbRunDialog below runs the message loop in MQL5
#else
// THE WINDOW TOOLKIT FROM MQL4
//   MQL4 cannot hand a function to a DLL, so UIMakeWindow's callback is
//   declared int and always 0. With no callback button clicks (WM_COMMAND)
//   and timer ticks started with UIAddTimer reach no MQL4 code through the
//   DLL. What does work: PbRunDialog below runs the message loop in MQL4
#endif
//   itself with user32.dll's PeekMessageA / IsDialogMessageA /
//   TranslateMessage / DispatchMessageA. It looks at each message before it
//   is dispatched and returns to your code for:
//   * a click: the left button pressed and released on the same button;
//     a press dragged off the button, or released over another one, is none;
//   * Space released on a button;
//   * Enter: when a button has the keyboard focus (GetFocus) it counts as a
//     click on that button, otherwise as PB_DIALOG_ENTER;
//   * Escape, and the ticks of the dialog's own UIAddTimer timer.
//
#ifndef __MQL5__
// THREADS
//   The toolkit: one dialog per terminal at a time, every call for it from
//   the program (the thread) that made it. The parameter service: any
//   thread, any number at once (rule 5).
//
#endif
// The user32 and kernel32 functions below are declared in this file only.
#ifdef __MQL5__
// If another header of yours (the terminal's WinAPI headers, say) declares
// one of them too and the compiler objects, keep one of the two
// declarations, with the types used here.
#else
// If another header of yours declares one of them too and the compiler
// objects, keep one of the two declarations.
#endif

#ifndef PARAMBRIDGE_MQH
#define PARAMBRIDGE_MQH

#ifdef __MQL5__
// The x86-64 Win32 MSG record, as PeekMessageA fills it (48 bytes; the
// offsets are Windows', whatever packing MQL5 applies).
struct PbMsg
  {
   long              hwnd;         //  0
   uint              message;      //  8
   uint              gap;          // 12: Windows' alignment of wParam
   long              wParam;       // 16
   long              lParam;       // 24
   uint              time;         // 32
   int               ptX;          // 36
   int               ptY;          // 40
   uint              tail;         // 44: rounds MSG up to 48 bytes (lPrivate)
  };
#define PB_MSG_BYTES 48

#import "parambridge64.dll"
   // Parameter service.
   double func101(int unused1, int unused2);
   double func102(int unused1, int unused2, int unused3, int unused4);
   double func103(int unused1, int unused2, int unused3, int unused4);
   int    LoadParameters(uchar &account[], int accountType);
   int    RefreshParameters(uchar &account[], int accountType);
   void   GetLastErrorDescription(uchar &buffer[]);
   // Window toolkit. Sizes are in pixels; the creators take the height
   // BEFORE the width, UIMakeWindow the width before the height.
   long   UIMakeWindow(uchar &title[], int x, int y, int width, int height, int placement, long callback);
   int    UIFinish();
   ulong  UIAddTimer(ulong id, int seconds);
   int    UIKillTimer(ulong id);
   long   UIAddButton(uchar &text[], int x, int y, int height, int width);
   long   UIAddTextBox(uchar &text[], int x, int y, int height, int width, int password, int focus);
   long   UIAddCheckbox(int checked, uchar &text[], int x, int y, int height, int width);
   long   UIAddLabel(uchar &text[], int x, int y, int height, int width);
   int    UIHide(long handle);
   int    UIGetChecked(long handle);
   long   UISetText(long handle, uchar &text[]);
   long   UIGetText(long handle);
#import

#import "kernel32.dll"
   int    lstrlenA(long text);
   long   lstrcpynA(uchar &buffer[], long text, int bufferLength);
   long   GetProcessHeap();
   int    HeapFree(long heap, uint flags, long block);
   void   RtlZeroMemory(long address, ulong length);
#import

#import "user32.dll"
   int    PeekMessageA(PbMsg &msg, long hwnd, uint firstMessage, uint lastMessage, uint removeFlags);
   int    IsDialogMessageA(long hwnd, PbMsg &msg);
   int    TranslateMessage(PbMsg &msg);
   long   DispatchMessageA(PbMsg &msg);
   int    IsWindow(long hwnd);
   long   GetFocus();
#import
#else
// The Win32 MSG record, as PeekMessageA fills it (28 bytes).
struct PbMsg
  {
   int               hwnd;
   uint              message;
   int               wParam;
   int               lParam;
   uint              time;
   int               ptX;
   int               ptY;
  };

#import "parambridge.dll"
   // Parameter service (stdcall).
   double func101(int unused1, int unused2);
   double func102(int unused1, int unused2, int unused3, int unused4);
   double func103(int unused1, int unused2, int unused3, int unused4);
   int    LoadParameters(uchar &account[], int accountType);
   int    RefreshParameters(uchar &account[], int accountType);
   void   GetLastErrorDescription(uchar &buffer[]);
   // Window toolkit (cdecl). Sizes are in pixels; the creators take the
   // height BEFORE the width, UIMakeWindow the width before the height.
   int    UIMakeWindow(uchar &title[], int x, int y, int width, int height, int placement, int callback);
   int    UIFinish();
   uint   UIAddTimer(uint id, int seconds);
   int    UIKillTimer(uint id);
   int    UIAddButton(uchar &text[], int x, int y, int height, int width);
   int    UIAddTextBox(uchar &text[], int x, int y, int height, int width, int password, int focus);
   int    UIAddCheckbox(int checked, uchar &text[], int x, int y, int height, int width);
   int    UIAddLabel(uchar &text[], int x, int y, int height, int width);
   int    UIHide(int handle);
   int    UIGetChecked(int handle);
   int    UISetText(int handle, uchar &text[]);
   int    UIGetText(int handle);
#import

#import "kernel32.dll"
   int    lstrlenA(int text);
   int    lstrcpynA(uchar &buffer[], int text, int bufferLength);
   int    GetProcessHeap();
   int    HeapFree(int heap, int flags, int block);
   void   RtlZeroMemory(int address, int length);
#import

#import "user32.dll"
   int    PeekMessageA(PbMsg &msg, int hwnd, uint firstMessage, uint lastMessage, uint removeFlags);
   int    IsDialogMessageA(int hwnd, PbMsg &msg);
   int    TranslateMessage(PbMsg &msg);
   int    DispatchMessageA(PbMsg &msg);
   int    IsWindow(int hwnd);
   int    GetFocus();
#import
#endif

// Pointer-sized values (window handles, text addresses) and timer ids:
// int and uint for MQL4 (32-bit), long and ulong for MQL5 (64-bit).
#ifdef __MQL5__
#define PB_HANDLE long
#define PB_ID     ulong
#else
#define PB_HANDLE int
#define PB_ID     uint
#endif

//--- placement argument of UIMakeWindow
#define PB_PLACE_AT            0  // x, y: top-left corner on the screen
#define PB_PLACE_BOTTOM_RIGHT  1  // x, y: gaps to the right edge and to a line 30 px above the bottom

//--- results of PbRunDialog
#ifdef __MQL5__
#define PB_DIALOG_STOPPED     -1  // the program is being stopped (IsStopped), or refused
#else
#define PB_DIALOG_STOPPED     -1  // the program is being stopped (IsStopped)
#endif
#define PB_DIALOG_CLOSED       0  // the window no longer exists
#define PB_DIALOG_BUTTON       1  // a button was clicked (see PbDialog.button)
#define PB_DIALOG_ENTER        2  // Enter was pressed
#define PB_DIALOG_ESCAPE       3  // Escape was pressed
#define PB_DIALOG_TICK         4  // the dialog's timer ticked
#define PB_DIALOG_NONE      -100  // (internal) nothing to report

//--- results of PbLoadParameters
#define PB_LOAD_REFUSED       -1  // not asked: an indicator, or the account is not 1 to 15 digits
#define PB_LOAD_FAILED         0  // the fetch failed: see PbLastErrorDescription()
#define PB_LOAD_OK             1  // loaded, for this account
#define PB_LOAD_OTHER_ACCOUNT  2  // the DLL holds another account's parameters: do not use them
#define PB_LOAD_DLLS_OFF       3  // not asked: "Allow DLL imports" is off (PbDllsAllowed)

//--- results of PbRefreshParameters besides those above (rule 8)
#define PB_REFRESH_KEPT        4  // no decision (no connection, an unreadable reply, another status): the last good values stay
#define PB_REFRESH_REVOKED     5  // the server refused this account (201 to 299): the DLL holds no parameters now

//--- the vendor's: #define them before #include <parambridge.mqh> (rule 8)
#ifndef PB_REFRESH_MINUTES
#define PB_REFRESH_MINUTES    60  // a refresh every this many minutes once loaded
#endif
#ifndef PB_GRACE_HOURS
#define PB_GRACE_HOURS        72  // trading on unconfirmed values for at most this long
#endif

//--- what a failed fetch (PB_LOAD_FAILED) was, from PbFailureKind
#define PB_FAILURE_NO_CONNECTION 1  // "Could not connect to server.": try again later, waiting longer each time
#define PB_FAILURE_UNREADABLE    2  // "Internal dll error": the reply could not be read; try again later
#define PB_FAILURE_SERVER        3  // the server refused (its own text): trying again does not help until the vendor acts

#define PB_ACCOUNT_MAX_DIGITS 15  // a global variable holds it exactly (a double)
#define PB_ACCOUNT_TYPES       8  // account types 0 to 7: the claim holds one of them
#define PB_GV_CLAIM "parambridge.claim"  // THE CLAIM, at the top of this file
#define PB_CLAIM_MAX 8000000000000000.0   // the claim of account 10^15 - 1, type 7
#define PB_CLAIM_UNRECORDED   -1  // claimed for parameters fetched without the kit
#define PB_GV_UNCONFIRMED "parambridge.claim.unconfirmed"  // rule 8: TimeLocal() of the first failed refresh, 0: confirmed

#define PB_WM_KEYDOWN     0x0100
#define PB_WM_KEYUP       0x0101
#define PB_WM_TIMER       0x0113
#define PB_WM_LBUTTONDOWN 0x0201
#define PB_WM_LBUTTONUP   0x0202
#define PB_WM_QUIT        0x0012
#define PB_VK_RETURN      0x0D
#define PB_VK_ESCAPE      0x1B
#define PB_VK_SPACE       0x20
#define PB_PM_REMOVE      1
#define PB_MAX_BUTTONS    8

//+------------------------------------------------------------------+
//| The door: "Allow DLL imports"                                    |
//+------------------------------------------------------------------+
// Every kit function that calls an imported function (this DLL's, or
// kernel32's and user32's) asks this first, and returns its failure value
// without calling when it is false: PbLoadParameters and
// PbRefreshParameters PB_LOAD_DLLS_OFF, the getters -1.0, the window
// functions 0 (PbRunDialog PB_DIALOG_STOPPED), the text readers an empty
// string. True when the terminal allows DLL
// imports (TERMINAL_DLLS_ALLOWED, "Permission to use DLL") and so does this
// program (MQL_DLLS_ALLOWED); otherwise false, with one Print per program
// saying where to tick it. Without the guard the terminal's own answer to
// the call is "DLL calls are not allowed" and a stopped program.
bool PbDllsAllowed()
  {
   bool terminal = TerminalInfoInteger(TERMINAL_DLLS_ALLOWED) != 0;
   bool program = MQLInfoInteger(MQL_DLLS_ALLOWED) != 0;
   if(terminal && program)
      return(true);
   static bool told = false;
   if(!told)
     {
      string where = !terminal && !program ? "for the terminal and for this program" :
                     (!terminal ? "for the terminal" : "for this program");
#ifdef __MQL5__
      Print("parambridge: DLL imports are off (", where, "): nothing is fetched and no window is made.",
            " Tick \"Allow DLL imports\" in Tools > Options > Expert Advisors and on the program's",
            " Dependencies tab, then attach the program again.");
#else
      Print("parambridge: DLL imports are off (", where, "): nothing is fetched and no window is made.",
            " Tick \"Allow DLL imports\" in Tools > Options > Expert Advisors and on the program's",
            " Common tab, then attach the program again.");
#endif
     }
   told = true;
   return(false);
  }

//+------------------------------------------------------------------+
//| Text                                                             |
//+------------------------------------------------------------------+
#ifdef __MQL5__
// The 8-bit, NUL-terminated form of an MQL5 string.
#else
// The 8-bit, NUL-terminated form of an MQL4 string.
#endif
void PbText(const string text, uchar &bytes[])
  {
   ArrayResize(bytes, 0);
   StringToCharArray(text, bytes, 0, WHOLE_ARRAY, CP_ACP);
  }

// Reads the text behind an address that UIGetText returned (0 gives "")
// into `text`, then zeroes and frees the block (it came from the process
// heap) and zeroes the kit's byte copy. `text` is the caller's only copy
// (CharArrayToString's result is the terminal's own).
void PbReadTextInto(const PB_HANDLE address, string &text)
  {
   text = "";
   if(address == 0 || !PbDllsAllowed())
      return;
   int length = lstrlenA(address);
   if(length > 0)
     {
      uchar bytes[];
      ArrayResize(bytes, length + 1);
      lstrcpynA(bytes, address, length + 1);
      text = CharArrayToString(bytes, 0, length, CP_ACP);
      ArrayInitialize(bytes, 0);
#ifdef __MQL5__
      RtlZeroMemory(address, (ulong)length);
#else
      RtlZeroMemory(address, length);
#endif
     }
   HeapFree(GetProcessHeap(), 0, address);
  }

// The same, as a value: for text that is no secret.
string PbReadText(const PB_HANDLE address)
  {
   string text = "";
   PbReadTextInto(address, text);
   return(text);
  }

// Overwrites a secret in place with NULs, then empties it. StringFill
// "fills out a selected string ... at place" without making a new string
// (docs.mql4.com/strings/stringfill; MQL5 has the same function).
void PbWipe(string &text)
  {
   StringFill(text, 0);
   text = "";
  }

//+------------------------------------------------------------------+
//| Where the kit may run                                            |
//+------------------------------------------------------------------+
#ifdef __MQL5__
// False (with one Print per program) in an indicator: it shares its
// symbol's thread with every other indicator and the symbol's ticks. See
// rule 2 at the top of this file.
#else
// False (with one Print per program) in an indicator: it runs on the
// terminal's interface thread, where a fetch or a dialog loop freezes the
// terminal. See rule 2 at the top of this file.
#endif
bool PbAllowedHere(const string what)
  {
   if(MQLInfoInteger(MQL_PROGRAM_TYPE) != PROGRAM_INDICATOR)
      return(true);
   static bool told = false;
   if(!told)
#ifdef __MQL5__
      Print("parambridge: ", what, " refused: indicators share their symbol's thread",
            " with every other indicator and the symbol's ticks (also when made by iCustom);",
            " call it from an expert advisor, a script or a service");
#else
      Print("parambridge: ", what, " refused: indicators run on the terminal's interface thread",
            " (through iCustom: on the caller's thread, still as an indicator);",
            " call it from an expert advisor or a script");
#endif
   told = true;
   return(false);
  }

//+------------------------------------------------------------------+
//| Parameter service                                                |
//+------------------------------------------------------------------+
// -1.0 until a fetch has succeeded.
// -1.0 too when DLL imports are off (PbDllsAllowed).
double PbFunc101() { return(PbDllsAllowed() ? func101(0, 0) : -1.0); }
double PbFunc102() { return(PbDllsAllowed() ? func102(0, 0, 0, 0) : -1.0); }
double PbFunc103() { return(PbDllsAllowed() ? func103(0, 0, 0, 0) : -1.0); }

// 1 to PB_ACCOUNT_MAX_DIGITS digits 0-9, nothing else: the account goes
// into the request body unescaped.
bool PbAccountIsValid(const string account)
  {
   int n = StringLen(account);
   if(n < 1 || n > PB_ACCOUNT_MAX_DIGITS)
      return(false);
   for(int i = 0; i < n; i++)
     {
      ushort c = StringGetCharacter(account, i);
      if(c < '0' || c > '9')
         return(false);
     }
   return(true);
  }

// Whether a valid account (PbAccountIsValid) is 0, in any number of
// digits: the login of a terminal that is not logged in.
bool PbAccountIsZero(const string account)
  {
   for(int i = 0; i < StringLen(account); i++)
      if(StringGetCharacter(account, i) != '0')
         return(false);
   return(true);
  }

// The claim's value for an account (1 to 15 digits) and type (0 to 7).
double PbClaimValue(const string account, const int accountType)
  {
   return(StringToDouble(account) * PB_ACCOUNT_TYPES + accountType + 1);
  }

// Whether `value` is an account's claim: a whole number from 1 to the
// claim of the largest account with type 7.
bool PbIsClaim(const double value)
  {
   return(value >= 1 && value <= PB_CLAIM_MAX && value == MathFloor(value));
  }

// The account and the type of a claim (PbIsClaim).
double PbClaimAccount(const double claim) { return(MathFloor((claim - 1) / PB_ACCOUNT_TYPES)); }
int    PbClaimType(const double claim)    { return((int)MathMod(claim - 1, PB_ACCOUNT_TYPES)); }

// "account 12345 (type 0)" for a claim.
string PbClaimText(const double claim)
  {
   return("account " + DoubleToString(PbClaimAccount(claim), 0) + " (type " +
          IntegerToString(PbClaimType(claim)) + ")");
  }

// The value of the claim variable: 0 while nobody has claimed.
double PbClaim()
  {
   double value = 0;
   if(!GlobalVariableGet(PB_GV_CLAIM, value))
      return(0);
   return(value);
  }

// The account that claimed the DLL's parameters in this terminal session,
// or 0 when none has (or the DLL held parameters before any claim).
double PbParametersAccount()
  {
   double claim = PbClaim();
   if(!PbIsClaim(claim))
      return(0);
   return(PbClaimAccount(claim));
  }

// Whether the DLL answers from its store. The getters give -1.0 until a
// fetch has succeeded, so a value other than -1.0 proves a success; a
// server that serves -1.0 for all three is taken for "not loaded".
bool PbLooksLoaded()
  {
   return(PbFunc101() != -1.0 || PbFunc102() != -1.0 || PbFunc103() != -1.0);
  }

// Clears the record of unconfirmed values (rule 8).
void PbMarkConfirmed()
  {
   GlobalVariableTemp(PB_GV_UNCONFIRMED);
   GlobalVariableSet(PB_GV_UNCONFIRMED, 0);
  }

// TimeLocal() of the first refresh since the last confirmation that could
// not confirm the values (PB_REFRESH_KEPT), or 0 when there was none.
datetime PbUnconfirmedSince()
  {
   double since = 0;
   if(!GlobalVariableGet(PB_GV_UNCONFIRMED, since) || since < 0)
      return(0);
   return((datetime)since);
  }

// When the grace period of the unconfirmed values ends (0: confirmed).
datetime PbGraceEnds()
  {
   datetime since = PbUnconfirmedSince();
   return(since == 0 ? 0 : since + PB_GRACE_HOURS * 3600);
  }

// Whether the values have been unconfirmed for PB_GRACE_HOURS or longer:
// stop trading on them.
bool PbGraceOver()
  {
   datetime ends = PbGraceEnds();
   return(ends != 0 && TimeLocal() >= ends);
  }

// The door of PbLoadParameters and PbRefreshParameters (`what`): PB_LOAD_OK
// when this program may ask the DLL for `account` and `accountType`, with
// the claim taken for them now if nobody held it (THE CLAIM, at the top of
// this file); otherwise the refusal, said with a Print (an Alert too for
// another account's claim), and nothing is called.
int PbDoor(const string what, const string account, const int accountType)
  {
   if(!PbDllsAllowed())
      return(PB_LOAD_DLLS_OFF);
   if(!PbAllowedHere(what))
      return(PB_LOAD_REFUSED);
   if(!PbAccountIsValid(account))
     {
      Print("parambridge: account \"", account, "\" refused: 1 to ",
            PB_ACCOUNT_MAX_DIGITS, " digits only");
      return(PB_LOAD_REFUSED);
     }
   if(accountType < 0 || accountType >= PB_ACCOUNT_TYPES)
     {
      Print("parambridge: account type ", accountType, " refused: 0 to ",
            PB_ACCOUNT_TYPES - 1, " only");
      return(PB_LOAD_REFUSED);
     }
   double mine = PbClaimValue(account, accountType);
   // Read before claiming: no program of the kit fetches without a claim,
   // so parameters found now were fetched by something else.
   double first = PbLooksLoaded() ? PB_CLAIM_UNRECORDED : mine;
   GlobalVariableTemp(PB_GV_CLAIM);
   GlobalVariableSetOnCondition(PB_GV_CLAIM, first, 0);
   double claim = PbClaim();
   if(claim != mine)
     {
      string whose;
      if(claim == PB_CLAIM_UNRECORDED)
         whose = "an account the kit did not record";
      else if(PbIsClaim(claim))
         whose = PbClaimText(claim);
      else
        {
         Print("parambridge: the global variable ", PB_GV_CLAIM, " holds ", DoubleToString(claim, 0),
               ", which is no claim; nothing is fetched. Delete it (F3) or restart the terminal.");
         return(PB_LOAD_REFUSED);
        }
      string line = "parambridge: this terminal session's parameters are " + whose + "'s, not " +
                    PbClaimText(mine) + "'s; they are not used. Restart the terminal to fetch for account " +
                    account + ".";
      Print(line);
      Alert(line);
      return(PB_LOAD_OTHER_ACCOUNT);
     }
   return(PB_LOAD_OK);
  }

// One of PB_LOAD_...: PB_LOAD_OK when the DLL holds the parameters of
// `account` and `accountType` (fetched now, or earlier in this terminal
// session). Claims the record first (PbDoor) and calls LoadParameters only
// under this account's claim, blocking until the server answers. Under
// another claim it fetches nothing and gives PB_LOAD_OTHER_ACCOUNT, with an
// Alert and a Print naming both.
int PbLoadParameters(const string account, const int accountType)
  {
   int door = PbDoor("PbLoadParameters", account, accountType);
   if(door != PB_LOAD_OK)
      return(door);
   bool held = PbLooksLoaded();
   uchar bytes[];
   PbText(account, bytes);
   if(LoadParameters(bytes, accountType) != 1)
      return(PB_LOAD_FAILED);
   if(!held)
      PbMarkConfirmed();   // an exchange ran and the server confirmed
   return(PB_LOAD_OK);
  }

// Asks the server again (rule 8), with PbLoadParameters' door: under
// another account's claim, in an indicator or with DLL imports off it calls
// nothing and gives what PbLoadParameters gives. Blocks for at most 30 s.
//   PB_LOAD_OK          confirmed: the reply's values are in place
//   PB_REFRESH_REVOKED  the server refused this account: not loaded now
//   PB_REFRESH_KEPT     no decision: the last good values stay, and
//                       PbUnconfirmedSince() says since when
//   PB_LOAD_FAILED      the DLL held no parameters before the call and
//                       still holds none (as a failed PbLoadParameters)
int PbRefreshParameters(const string account, const int accountType)
  {
   int door = PbDoor("PbRefreshParameters", account, accountType);
   if(door != PB_LOAD_OK)
      return(door);
   bool held = PbLooksLoaded();
   uchar bytes[];
   PbText(account, bytes);
   if(RefreshParameters(bytes, accountType) == 1)
     {
      PbMarkConfirmed();
      return(PB_LOAD_OK);
     }
   if(!held)
      return(PB_LOAD_FAILED);
   // The getters give -1.0 once a decision has unloaded the parameters;
   // any other failure leaves them as they were.
   if(!PbLooksLoaded())
     {
      PbMarkConfirmed();   // decided: nothing is unconfirmed any more
      return(PB_REFRESH_REVOKED);
     }
   GlobalVariableTemp(PB_GV_UNCONFIRMED);
   GlobalVariableSetOnCondition(PB_GV_UNCONFIRMED, (double)TimeLocal(), 0);
   return(PB_REFRESH_KEPT);
  }

// Why the last fetch failed (at most 255 characters); "" when DLL imports
// are off.
string PbLastErrorDescription()
  {
   if(!PbDllsAllowed())
      return("");
   uchar buffer[256];
   ArrayInitialize(buffer, 0);
   GetLastErrorDescription(buffer);
   return(CharArrayToString(buffer, 0, WHOLE_ARRAY, CP_ACP));
  }

// What a failed fetch was (PB_FAILURE_...), from PbLastErrorDescription():
// the DLL's own two texts ("Could not connect to server.": no answer, an
// empty or cut reply, a redirect, a refused pin; "Internal dll error": a
// reply without a readable status, or a status of 100 or less), else the
// server's own description of its refusal (a status above 100; possibly
// empty). A server whose refusal reads exactly like one of the DLL's texts
// is taken for the DLL's.
int PbFailureKind(const string description)
  {
   if(description == "Could not connect to server.")
      return(PB_FAILURE_NO_CONNECTION);
   if(description == "Internal dll error")
      return(PB_FAILURE_UNREADABLE);
   return(PB_FAILURE_SERVER);
  }

//+------------------------------------------------------------------+
//| Window toolkit                                                   |
//+------------------------------------------------------------------+
// The window this program made and has not finished (0: none).
PB_HANDLE PbOpenHost = 0;

// 0 in an indicator (PbAllowedHere).
PB_HANDLE PbMakeWindow(const string title, const int x, const int y, const int width, const int height, const int placement)
  {
   if(!PbDllsAllowed() || !PbAllowedHere("PbMakeWindow"))
      return(0);
   uchar bytes[];
   PbText(title, bytes);
   PB_HANDLE host = UIMakeWindow(bytes, x, y, width, height, placement, 0);
   if(host != 0)
      PbOpenHost = host;
   return(host);
  }

PB_HANDLE PbAddLabel(const string text, const int x, const int y, const int height, const int width)
  {
   if(!PbDllsAllowed())
      return(0);
   uchar bytes[];
   PbText(text, bytes);
   return(UIAddLabel(bytes, x, y, height, width));
  }

PB_HANDLE PbAddTextBox(const string text, const int x, const int y, const int height, const int width, const bool password, const bool focus)
  {
   if(!PbDllsAllowed())
      return(0);
   uchar bytes[];
   PbText(text, bytes);
   PB_HANDLE box = UIAddTextBox(bytes, x, y, height, width, password ? 1 : 0, focus ? 1 : 0);
   ArrayInitialize(bytes, 0);
   return(box);
  }

PB_HANDLE PbAddCheckbox(const bool checked, const string text, const int x, const int y, const int height, const int width)
  {
   if(!PbDllsAllowed())
      return(0);
   uchar bytes[];
   PbText(text, bytes);
   return(UIAddCheckbox(checked ? 1 : 0, bytes, x, y, height, width));
  }

// An empty text changes nothing (the control keeps its text) and gives 0.
PB_HANDLE PbSetText(const PB_HANDLE handle, const string text)
  {
   if(!PbDllsAllowed())
      return(0);
   uchar bytes[];
   PbText(text, bytes);
   PB_HANDLE result = UISetText(handle, bytes);
   ArrayInitialize(bytes, 0);
   return(result);
  }

// The control's (or window's) text, at most 254 characters. The DLL's
// copy is zeroed and freed (PbReadText). Not for a password: PbGetSecret.
string PbGetText(const PB_HANDLE handle) { return(PbDllsAllowed() ? PbReadText(UIGetText(handle)) : ""); }

// A password box's text into `secret`, the only copy the kit leaves: the
// DLL's block and the kit's bytes are zeroed. Read it only when the
// visitor accepted (OK), and PbWipe(secret) once it has been used.
void PbGetSecret(const PB_HANDLE handle, string &secret)
  {
   if(!PbDllsAllowed())
     {
      secret = "";
      return;
     }
   PbReadTextInto(UIGetText(handle), secret);
  }

bool PbIsChecked(const PB_HANDLE handle) { return(PbDllsAllowed() && UIGetChecked(handle) == 1); }

#ifdef __MQL5__
// A dialog run by MQL5 code: the host window, its buttons (with their
#else
// A dialog run by MQL4 code: the host window, its buttons (with their
#endif
// sizes, to tell a click from a press dragged away) and its timer.
struct PbDialog
  {
#ifdef __MQL5__
   long              host;
   ulong             timer;        // 0: none
#else
   int               host;
   uint              timer;        // 0: none
#endif
   int               buttons;
#ifdef __MQL5__
   long              handle[PB_MAX_BUTTONS];
#else
   int               handle[PB_MAX_BUTTONS];
#endif
   int               width[PB_MAX_BUTTONS];
   int               height[PB_MAX_BUTTONS];
#ifdef __MQL5__
   long              pressed;      // the button the left mouse button went down on, or 0
   long              button;       // after PB_DIALOG_BUTTON: the handle clicked
#else
   int               pressed;      // the button the left mouse button went down on, or 0
   int               button;       // after PB_DIALOG_BUTTON: the handle clicked
#endif
  };

void PbDialogInit(PbDialog &dialog, const PB_HANDLE host)
  {
   dialog.host = host;
   dialog.timer = 0;
   dialog.buttons = 0;
   dialog.pressed = 0;
   dialog.button = 0;
  }

PB_HANDLE PbDialogAddButton(PbDialog &dialog, const string text, const int x, const int y, const int height, const int width)
  {
   if(!PbDllsAllowed())
      return(0);
   uchar bytes[];
   PbText(text, bytes);
   PB_HANDLE handle = UIAddButton(bytes, x, y, height, width);
   if(handle != 0 && dialog.buttons < PB_MAX_BUTTONS)
     {
      dialog.handle[dialog.buttons] = handle;
      dialog.width[dialog.buttons] = width;
      dialog.height[dialog.buttons] = height;
      dialog.buttons++;
     }
   return(handle);
  }

// A repeating timer on the dialog; PbRunDialog returns PB_DIALOG_TICK on
// each tick. UIAddTimer's ticks have no effect of their own (no callback).
bool PbDialogSetTimer(PbDialog &dialog, const PB_ID id, const int seconds)
  {
   if(!PbDllsAllowed() || UIAddTimer(id, seconds) == 0)
      return(false);
   dialog.timer = id;
   return(true);
  }

// The index of a dialog button's handle, or -1.
int PbDialogButtonIndex(const PbDialog &dialog, const PB_HANDLE handle)
  {
   for(int i = 0; i < dialog.buttons; i++)
      if(handle != 0 && dialog.handle[i] == handle)
         return(i);
   return(-1);
  }

// What one message means to the dialog, looked at before it is dispatched.
int PbDialogEvent(PbDialog &dialog, const PbMsg &msg)
  {
   if(msg.message == PB_WM_TIMER && dialog.timer != 0 && (PB_ID)msg.wParam == dialog.timer && msg.hwnd == dialog.host)
      return(PB_DIALOG_TICK);
   if(msg.message == PB_WM_KEYDOWN && msg.wParam == PB_VK_RETURN)
     {
      // Enter acts on the button that has the focus, else it is Enter.
      if(!PbDllsAllowed())
         return(PB_DIALOG_NONE);
      PB_HANDLE focus = GetFocus();
      if(PbDialogButtonIndex(dialog, focus) >= 0)
        {
         dialog.button = focus;
         return(PB_DIALOG_BUTTON);
        }
      return(PB_DIALOG_ENTER);
     }
   if(msg.message == PB_WM_KEYDOWN && msg.wParam == PB_VK_ESCAPE)
      return(PB_DIALOG_ESCAPE);
   int i = PbDialogButtonIndex(dialog, msg.hwnd);
   if(msg.message == PB_WM_LBUTTONDOWN)
     {
#ifdef __MQL5__
      dialog.pressed = 0;
      if(i >= 0)
         dialog.pressed = msg.hwnd;
#else
      dialog.pressed = i >= 0 ? msg.hwnd : 0;
#endif
      return(PB_DIALOG_NONE);
     }
   if(i < 0)
     {
      if(msg.message == PB_WM_LBUTTONUP)
         dialog.pressed = 0;
      return(PB_DIALOG_NONE);
     }
   if(msg.message == PB_WM_KEYUP && msg.wParam == PB_VK_SPACE)
     {
      dialog.button = msg.hwnd;
      return(PB_DIALOG_BUTTON);
     }
   if(msg.message == PB_WM_LBUTTONUP)
     {
      // A click only when the press was on this button too. A button
      // captures the mouse when pressed, so its release comes here even
#ifdef __MQL5__
      // off the button; coordinates are signed 16-bit, relative to it,
      // in the low 32 bits of lParam.
#else
      // off the button; coordinates are signed 16-bit, relative to it.
#endif
      bool pressedHere = dialog.pressed == msg.hwnd;
      dialog.pressed = 0;
#ifdef __MQL5__
      int x = (int)(msg.lParam & 0xFFFF);
      int y = (int)((msg.lParam >> 16) & 0xFFFF);
#else
      int x = msg.lParam & 0xFFFF;
      int y = (msg.lParam >> 16) & 0xFFFF;
#endif
      if(x >= 0x8000) x -= 0x10000;
      if(y >= 0x8000) y -= 0x10000;
      if(pressedHere && x >= 0 && y >= 0 && x < dialog.width[i] && y < dialog.height[i])
        {
         dialog.button = msg.hwnd;
         return(PB_DIALOG_BUTTON);
        }
     }
   return(PB_DIALOG_NONE);
  }

// Runs the dialog's messages until something happens that the caller must
// decide on; returns one of PB_DIALOG_... . Call it again to go on.
#ifdef __MQL5__
// PB_DIALOG_STOPPED at once in an indicator (PbAllowedHere), and when
// PbMsg is not the 48-byte MSG record (PeekMessageA would write past it).
#else
// PB_DIALOG_STOPPED at once in an indicator (PbAllowedHere).
#endif
int PbRunDialog(PbDialog &dialog)
  {
   if(!PbDllsAllowed() || !PbAllowedHere("PbRunDialog"))
      return(PB_DIALOG_STOPPED);
#ifdef __MQL5__
   if(sizeof(PbMsg) != PB_MSG_BYTES)
     {
      Print("parambridge: PbMsg is ", sizeof(PbMsg), " bytes, not ", PB_MSG_BYTES, "; the dialog loop refuses");
      return(PB_DIALOG_STOPPED);
     }
#endif
   PbMsg msg;
   while(!IsStopped())
     {
      if(IsWindow(dialog.host) == 0)
         return(PB_DIALOG_CLOSED);
      if(PeekMessageA(msg, dialog.host, 0, 0, PB_PM_REMOVE) == 0)
        {
         Sleep(20);
         continue;
        }
      int what = PbDialogEvent(dialog, msg);
      if(IsDialogMessageA(dialog.host, msg) == 0)
        {
         TranslateMessage(msg);
         DispatchMessageA(msg);
        }
      if(what != PB_DIALOG_NONE)
         return(what);
     }
   return(PB_DIALOG_STOPPED);
  }

// Destroys the window and takes away the quit message that its
// destruction posts to this thread. Nothing when DLL imports are off.
void PbFinish()
  {
   if(!PbDllsAllowed())
      return;
   UIFinish();
   PbOpenHost = 0;
   PbMsg msg;
   PeekMessageA(msg, 0, PB_WM_QUIT, PB_WM_QUIT, PB_PM_REMOVE);
  }

// For OnDeinit: finishes the window this program made, if it is still up
// (its timer dies with it). True when there was one. A window of another
// program is never touched.
bool PbDialogClose()
  {
   if(PbOpenHost == 0 || !PbDllsAllowed())
      return(false);
   bool open = IsWindow(PbOpenHost) != 0;
   if(open)
      PbFinish();
   PbOpenHost = 0;
   return(open);
  }

#endif
