// The MQL4 kit's imports and wrappers, written again in C++ so that a
// Windows program can play the part of an expert advisor: every export is
// reached through LoadLibrary and GetProcAddress and called with the
// arguments that parambridge.mqh declares (uchar arrays for text, int
// handles and words, flags as int 0 or 1, a null callback). The cdecl
// exports are called as a terminal calls them (terminal_call.h), the
// stdcall ones through stdcall pointers. The Pb... functions follow the
// .mqh's wrappers line for line. The types are checked against
// mql4_imports.h at compile time.
//
// Built for x86-64 the same host plays a program of a 64-bit terminal
// against parambridge64.dll, with the MQL5 text of parambridge.mqh: there a
// window handle, a text address, the heap handle, a heap size, an LRESULT,
// a timer id and the callback are 8-byte values (MQL5 long and ulong), PbMsg
// is the MQL5 kit's 48-byte record (its gaps spelled out, packed as MQL5
// packs structures), and the types are checked against mql5_imports.h.
// The MQL5 wrappers are the MQL4 ones with those types; Handle and Id
// carry the difference.
#pragma once

#include <windows.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>
#include <vector>

#ifdef _WIN64
#include "kit_kinds_x64.h"
#include "mql5_imports.h"
// X(module, name, argument kinds, result)
#define PB_KIT_IMPORTS(X) PB_MQL5_IMPORTS(X)
#else
#include "mql4_imports.h"
#include "terminal_call.h"
// X(module, name, convention, argument bytes, result)
#define PB_KIT_IMPORTS(X) PB_MQL4_IMPORTS(X)
#endif

namespace mql4 {

using uchar = unsigned char;
#ifdef _WIN64
using Handle = long long;  // MQL5 long: a window handle, an address, wParam, lParam
using Id = unsigned long long;  // MQL5 ulong: a timer id
#else
using Handle = int;  // MQL4 int
using Id = unsigned;  // MQL4 uint
#endif

#ifdef _WIN64
// The MQL5 .mqh's struct PbMsg, laid out as MQL5 lays out structures: field
// after field, no padding of its own.
#pragma pack(push, 1)
struct PbMsg {
  Handle hwnd;
  unsigned message;
  unsigned gap;  // Windows' alignment of wParam
  Handle wParam;
  Handle lParam;
  unsigned time;
  int ptX;
  int ptY;
  unsigned tail;  // rounds MSG up to 48 bytes
};
#pragma pack(pop)
#else
struct PbMsg {  // the MQL4 .mqh's struct PbMsg
  Handle hwnd;
  unsigned message;
  Handle wParam;
  Handle lParam;
  unsigned time;
  int ptX;
  int ptY;
};
#endif
static_assert(sizeof(PbMsg) == sizeof(MSG), "PbMsg must be the Win32 MSG record");
static_assert(offsetof(PbMsg, message) == offsetof(MSG, message) &&
                  offsetof(PbMsg, wParam) == offsetof(MSG, wParam) &&
                  offsetof(PbMsg, lParam) == offsetof(MSG, lParam) &&
                  offsetof(PbMsg, time) == offsetof(MSG, time) &&
                  offsetof(PbMsg, ptX) == offsetof(MSG, pt),
              "PbMsg's fields must lie where MSG's do");

// #import "parambridge.dll"
using func101 = double(__stdcall*)(int, int);
using func102 = double(__stdcall*)(int, int, int, int);
using func103 = double(__stdcall*)(int, int, int, int);
using LoadParameters = int(__stdcall*)(uchar* account, int accountType);
using RefreshParameters = int(__stdcall*)(uchar* account, int accountType);
using GetLastErrorDescription = void(__stdcall*)(uchar* buffer);
using UIMakeWindow = Handle(__cdecl*)(uchar* title, int x, int y, int width, int height,
                                      int placement, Handle callback);
using UIFinish = int(__cdecl*)();
using UIAddTimer = Id(__cdecl*)(Id id, int seconds);
using UIKillTimer = int(__cdecl*)(Id id);
using UIAddButton = Handle(__cdecl*)(uchar* text, int x, int y, int height, int width);
using UIAddTextBox = Handle(__cdecl*)(uchar* text, int x, int y, int height, int width,
                                      int password, int focus);
using UIAddCheckbox = Handle(__cdecl*)(int checked, uchar* text, int x, int y, int height,
                                       int width);
using UIAddLabel = Handle(__cdecl*)(uchar* text, int x, int y, int height, int width);
using UIHide = int(__cdecl*)(Handle handle);
using UIGetChecked = int(__cdecl*)(Handle handle);
using UISetText = Handle(__cdecl*)(Handle handle, uchar* text);
using UIGetText = Handle(__cdecl*)(Handle handle);
// #import "kernel32.dll"
using lstrlenA = int(__stdcall*)(Handle text);
using lstrcpynA = Handle(__stdcall*)(uchar* buffer, Handle text, int bufferLength);
using GetProcessHeap = Handle(__stdcall*)();
using HeapFree = int(__stdcall*)(Handle heap, unsigned flags, Handle block);
using RtlZeroMemory = void(__stdcall*)(Handle address, Handle length);
// #import "user32.dll"
using PeekMessageA = int(__stdcall*)(PbMsg* msg, Handle hwnd, unsigned first, unsigned last,
                                     unsigned remove);
using IsDialogMessageA = int(__stdcall*)(Handle hwnd, PbMsg* msg);
using TranslateMessage = int(__stdcall*)(PbMsg* msg);
using DispatchMessageA = Handle(__stdcall*)(PbMsg* msg);
using IsWindow = int(__stdcall*)(Handle hwnd);
using GetFocus = Handle(__stdcall*)();

}  // namespace mql4

// What a C++ host may call besides; an MQL4 program cannot (mql4_imports.h).
namespace host {
using GetLastErrorCode = int(__stdcall*)();
}

// i686: each import's convention, argument bytes and result against
// mql4_imports.h. x86-64 has one convention and gives every argument an
// 8-byte slot: there each import's argument kinds (what the callee reads of
// each slot) and result are checked against mql5_imports.h.
#ifndef _WIN64
namespace kitcheck {

enum class Conv { kcdecl, kstdcall };
enum class Result { kint, kdouble, kvoid };

template <typename R>
constexpr Result ResultOf() {
  if constexpr (std::is_same_v<R, double>) {
    return Result::kdouble;
  } else if constexpr (std::is_void_v<R>) {
    return Result::kvoid;
  } else {
    static_assert(std::is_integral_v<R> && sizeof(R) == 4, "a result is int-sized, double or void");
    return Result::kint;
  }
}

template <typename... A>
constexpr int SlotBytes() {
  return (0 + ... + static_cast<int>((sizeof(A) + 3) / 4 * 4));
}

template <typename F>
struct Sig;
template <typename R, typename... A>
struct Sig<R(__cdecl*)(A...)> {
  static constexpr Conv conv = Conv::kcdecl;
  static constexpr int bytes = SlotBytes<A...>();
  static constexpr Result result = ResultOf<R>();
};
template <typename R, typename... A>
struct Sig<R(__stdcall*)(A...)> {
  static constexpr Conv conv = Conv::kstdcall;
  static constexpr int bytes = SlotBytes<A...>();
  static constexpr Result result = ResultOf<R>();
};

// How the kit holds an import: a cdecl one behind the terminal's way of
// calling, a stdcall one as a plain pointer.
template <typename F>
using Held = std::conditional_t<Sig<F>::conv == Conv::kcdecl, TerminalImport<F>, F>;

#define PB_CHECK_ROW(module, name, convention, argBytes, returns)                     \
  static_assert(kitcheck::Sig<mql4::name>::bytes == (argBytes),                      \
                #name ": argument bytes differ from mql4_imports.h");                \
  static_assert(kitcheck::Sig<mql4::name>::conv == kitcheck::Conv::k##convention,    \
                #name ": calling convention differs from mql4_imports.h");           \
  static_assert(kitcheck::Sig<mql4::name>::result == kitcheck::Result::k##returns,   \
                #name ": result differs from mql4_imports.h");
PB_MQL4_IMPORTS(PB_CHECK_ROW)
#undef PB_CHECK_ROW

#define PB_CHECK_HOST_ROW(exported, name, convention, argBytes, why)                      \
  static_assert((argBytes) < 0 || kitcheck::Sig<host::name>::bytes == (argBytes),         \
                exported ": argument bytes differ from mql4_imports.h");                  \
  static_assert((argBytes) < 0 || kitcheck::Sig<host::name>::conv == kitcheck::Conv::k##convention, \
                exported ": calling convention differs from mql4_imports.h");
// Only the one the demo calls has a type here.
PB_CHECK_HOST_ROW("_GetLastErrorCode@0", GetLastErrorCode, stdcall, 0, "")
#undef PB_CHECK_HOST_ROW

}  // namespace kitcheck
#else
namespace kitcheck {
// x86-64 has one calling convention: every import is a plain pointer.
template <typename F>
using Held = F;

#define PB_CHECK_ROW(module, name, argKinds, returns)                                    \
  static_assert(kitkinds::Same(kitkinds::Sig<mql4::name>::args.data(), argKinds),       \
                #name ": argument kinds differ from mql5_imports.h");                   \
  static_assert(kitkinds::Same(kitkinds::Sig<mql4::name>::result, #returns),            \
                #name ": result differs from mql5_imports.h");
PB_MQL5_IMPORTS(PB_CHECK_ROW)
#undef PB_CHECK_ROW
}  // namespace kitcheck
#endif

// Every import of the .mqh, resolved by name as the terminal resolves them.
struct Mql4Imports {
#define PB_FIELD(module, name, ...) kitcheck::Held<mql4::name> name{};
  PB_KIT_IMPORTS(PB_FIELD)
#undef PB_FIELD
  host::GetLastErrorCode GetLastErrorCode = nullptr;  // "_GetLastErrorCode@0"
};

// Resolves every row from `dll` (parambridge or parambridge64), kernel32
// and user32. On
// failure `missing` names what could not be found.
bool ResolveImports(HMODULE dll, Mql4Imports& im, std::string& missing);

// The .mqh's constants.
constexpr int PB_PLACE_AT = 0;
constexpr int PB_DIALOG_STOPPED = -1;
constexpr int PB_DIALOG_CLOSED = 0;
constexpr int PB_DIALOG_BUTTON = 1;
constexpr int PB_DIALOG_ENTER = 2;
constexpr int PB_DIALOG_ESCAPE = 3;
constexpr int PB_DIALOG_TICK = 4;
constexpr int PB_DIALOG_NONE = -100;
constexpr int PB_MAX_BUTTONS = 8;
constexpr int PB_LOAD_REFUSED = -1;
constexpr int PB_LOAD_FAILED = 0;
constexpr int PB_LOAD_OK = 1;
constexpr int PB_LOAD_OTHER_ACCOUNT = 2;
constexpr int PB_LOAD_DLLS_OFF = 3;
constexpr int PB_REFRESH_KEPT = 4;
constexpr int PB_REFRESH_REVOKED = 5;
constexpr int PB_REFRESH_MINUTES = 60;  // the sample's #defines (the kit's defaults)
constexpr int PB_GRACE_HOURS = 72;
constexpr int PB_FAILURE_NO_CONNECTION = 1;
constexpr int PB_FAILURE_UNREADABLE = 2;
constexpr int PB_FAILURE_SERVER = 3;
constexpr int PB_ACCOUNT_MAX_DIGITS = 15;
constexpr int PB_ACCOUNT_TYPES = 8;
constexpr char PB_GV_CLAIM[] = "parambridge.claim";
constexpr double PB_CLAIM_MAX = 8000000000000000.0;
constexpr double PB_CLAIM_UNRECORDED = -1;
constexpr char PB_GV_UNCONFIRMED[] = "parambridge.claim.unconfirmed";

// MQL's datetime: seconds since 1970.01.01 00:00.
using datetime = long long;
// TimeToString(t, TIME_DATE | TIME_MINUTES): "yyyy.mm.dd hh:mi".
std::string TimeToString(datetime t);

// MQLInfoInteger(MQL_PROGRAM_TYPE)
enum class ProgramType { kScript, kExpert, kIndicator };

// What the .mqh reaches through the terminal rather than a DLL: its global
// variables (shared by every program of one terminal, each program on a
// thread of its own) and the Print/Alert lines. Every operation on a
// variable is atomic, as GlobalVariableSetOnCondition is documented to be;
// the others are at least never seen half done.
class Terminal {
 public:
  // Creates the variable with `fresh` when it does not exist. What a new
  // variable holds is not documented; 0 unless a row says otherwise.
  bool GlobalVariableTemp(const std::string& name);
  // Sets `value` when the variable exists and holds `check`.
  bool GlobalVariableSetOnCondition(const std::string& name, double value, double check);
  // The two-argument form: false when the variable does not exist.
  bool GlobalVariableGet(const std::string& name, double& value) const;
  // Sets the variable, creating it when it does not exist.
  void GlobalVariableSet(const std::string& name, double value);
  void Print(const std::string& line);
  std::vector<std::string> log() const;
  void Comment(const std::string& text);  // the chart's text
  std::string chart() const;
  double fresh = 0;
  bool dllsAllowed = true;  // TerminalInfoInteger(TERMINAL_DLLS_ALLOWED)
  // The terminal around an expert, set by the tables: TimeLocal(), the
  // connection, AccountNumber() and AccountInfoInteger(ACCOUNT_TRADE_MODE).
  datetime now = 0;
  bool connected = true;
  long long login = 0;
  int tradeMode = 0;

 private:
  mutable std::mutex mu_;
  std::map<std::string, double> globals_;
  std::vector<std::string> log_;
  std::string chart_;
};

struct PbDialog {
  mql4::Handle host = 0;
  mql4::Id timer = 0;
  int buttons = 0;
  mql4::Handle handle[PB_MAX_BUTTONS] = {};
  int width[PB_MAX_BUTTONS] = {};
  int height[PB_MAX_BUTTONS] = {};
  mql4::Handle pressed = 0;  // the button the left mouse button went down on, or 0
  mql4::Handle button = 0;
};

// The .mqh's wrappers over one set of resolved imports. IsStopped() of the
// terminal becomes a deadline.
class Kit {
 public:
  // `dllsAllowed`: MQLInfoInteger(MQL_DLLS_ALLOWED), the program's own tick.
  Kit(const Mql4Imports& im, Terminal& terminal, ProgramType type = ProgramType::kExpert,
      bool dllsAllowed = true)
      : im_(im), terminal_(terminal), type_(type), dllsAllowed_(dllsAllowed) {}

  static std::vector<mql4::uchar> PbText(const std::string& text);
  void PbReadTextInto(mql4::Handle address, std::string& text) const;
  std::string PbReadText(mql4::Handle address) const;
  static void PbWipe(std::string& text);
  static bool PbAccountIsZero(const std::string& account);
  bool PbAllowedHere(const char* what) const;
  bool PbDllsAllowed() const;
  static int PbFailureKind(const std::string& description);
  static bool PbAccountIsValid(const std::string& account);
  static double PbClaimValue(const std::string& account, int accountType);
  static bool PbIsClaim(double value);
  static std::string PbClaimText(double claim);
  double PbClaim() const;
  double PbParametersAccount() const;

  int PbDoor(const char* what, const std::string& account, int accountType) const;
  int PbLoadParameters(const std::string& account, int accountType) const;
  int PbRefreshParameters(const std::string& account, int accountType) const;
  void PbMarkConfirmed() const;
  datetime PbUnconfirmedSince() const;
  datetime PbGraceEnds() const;
  bool PbGraceOver() const;
  bool PbLooksLoaded() const;
  double PbFunc101() const { return PbDllsAllowed() ? im_.func101(0, 0) : -1.0; }
  double PbFunc102() const { return PbDllsAllowed() ? im_.func102(0, 0, 0, 0) : -1.0; }
  double PbFunc103() const { return PbDllsAllowed() ? im_.func103(0, 0, 0, 0) : -1.0; }
  std::string PbLastErrorDescription() const;

  mql4::Handle PbMakeWindow(const std::string& title, int x, int y, int width, int height,
                            int placement) const;
  mql4::Handle PbAddLabel(const std::string& text, int x, int y, int height, int width) const;
  mql4::Handle PbAddTextBox(const std::string& text, int x, int y, int height, int width,
                            bool password, bool focus) const;
  mql4::Handle PbAddCheckbox(bool checked, const std::string& text, int x, int y, int height,
                             int width) const;
  mql4::Handle PbSetText(mql4::Handle handle, const std::string& text) const;
  std::string PbGetText(mql4::Handle handle) const {
    return PbDllsAllowed() ? PbReadText(im_.UIGetText(handle)) : "";
  }
  void PbGetSecret(mql4::Handle handle, std::string& secret) const {
    if (!PbDllsAllowed()) {
      secret.clear();
      return;
    }
    PbReadTextInto(im_.UIGetText(handle), secret);
  }
  bool PbIsChecked(mql4::Handle handle) const {
    return PbDllsAllowed() && im_.UIGetChecked(handle) == 1;
  }

  static void PbDialogInit(PbDialog& dialog, mql4::Handle host);
  mql4::Handle PbDialogAddButton(PbDialog& dialog, const std::string& text, int x, int y,
                                 int height, int width) const;
  bool PbDialogSetTimer(PbDialog& dialog, mql4::Id id, int seconds) const;
  int PbDialogEvent(PbDialog& dialog, const mql4::PbMsg& msg) const;
  int PbRunDialog(PbDialog& dialog, DWORD deadlineTick) const;
  void PbFinish() const;
  bool PbDialogClose() const;
  const Mql4Imports& im() const { return im_; }
  // Blocks that PbReadText gave back to the process heap.
  int freedBlocks() const { return freedBlocks_; }

 private:
  void Print(const std::string& line) const { terminal_.Print(line); }

  const Mql4Imports& im_;
  Terminal& terminal_;
  ProgramType type_;
  mutable mql4::Handle openHost_ = 0;  // the .mqh's PbOpenHost
  mutable int freedBlocks_ = 0;
  bool dllsAllowed_;
  mutable bool told_ = false;  // the .mqh's static local in PbAllowedHere
  mutable bool dllsTold_ = false;  // the .mqh's static local in PbDllsAllowed
};
