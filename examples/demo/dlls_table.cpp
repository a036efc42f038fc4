// The door's table; see dlls_table.h. The imports are stand-ins that only
// count their calls: no module is loaded and nothing is fetched. Each row is
// one program (its own Kit, so its own "said once") in a terminal model with
// the row's two ticks, calling every kit entry point that reaches an import.
#include "dlls_table.h"

#include <cstdio>
#include <functional>
#include <string>
#include <type_traits>

#include "mql4_kit.h"

namespace {

int g_calls = 0;  // calls into any stand-in import

template <typename R>
R Nothing() {
  if constexpr (!std::is_void_v<R>) return R{};
}

// A stand-in for an import of type F: counts the call, returns 0.
template <typename F>
struct Stub;
template <typename R, typename... A>
struct Stub<R(__stdcall*)(A...)> {
  static R __stdcall Call(A...) {
    g_calls++;
    return Nothing<R>();
  }
};
#ifndef _WIN64
template <typename R, typename... A>
struct Stub<R(__cdecl*)(A...)> {
  static R __cdecl Call(A...) {
    g_calls++;
    return Nothing<R>();
  }
};
#endif

std::string Num(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

// A kit entry point that reaches an import, what it returns with the door
// shut, and whether it calls an import (a stand-in's 0 results) when open.
struct EntryPoint {
  const char* name;
  std::function<std::string(const Kit&)> call;
  const char* shut;
  bool callsWhenOpen;
};

struct DoorRow {
  const char* what;
  bool terminal;  // TERMINAL_DLLS_ALLOWED
  bool program;   // MQL_DLLS_ALLOWED
  const char* where;  // what the one line names; null: nothing said
};

}  // namespace

int DllsTable(int& round) {
  mql4::PbMsg enter = {};
  enter.message = 0x0100;  // WM_KEYDOWN
  enter.wParam = 0x0D;     // VK_RETURN: the event asks GetFocus
  const EntryPoint points[] = {
      {"PbLoadParameters", [](const Kit& k) { return std::to_string(k.PbLoadParameters("12345", 0)); },
       "3", true},
      {"PbRefreshParameters",
       [](const Kit& k) { return std::to_string(k.PbRefreshParameters("12345", 0)); }, "3", true},
      {"PbFunc101", [](const Kit& k) { return Num(k.PbFunc101()); }, "-1", true},
      {"PbFunc102", [](const Kit& k) { return Num(k.PbFunc102()); }, "-1", true},
      {"PbFunc103", [](const Kit& k) { return Num(k.PbFunc103()); }, "-1", true},
      {"PbLastErrorDescription", [](const Kit& k) { return k.PbLastErrorDescription(); }, "", true},
      {"PbReadText", [](const Kit& k) { return k.PbReadText(8); }, "", true},
      {"PbMakeWindow",
       [](const Kit& k) { return std::to_string(k.PbMakeWindow("t", 0, 0, 100, 100, PB_PLACE_AT)); },
       "0", true},
      {"PbAddLabel", [](const Kit& k) { return std::to_string(k.PbAddLabel("t", 0, 0, 9, 9)); },
       "0", true},
      {"PbAddTextBox",
       [](const Kit& k) { return std::to_string(k.PbAddTextBox("t", 0, 0, 9, 9, true, true)); },
       "0", true},
      {"PbAddCheckbox",
       [](const Kit& k) { return std::to_string(k.PbAddCheckbox(true, "t", 0, 0, 9, 9)); }, "0",
       true},
      {"PbSetText", [](const Kit& k) { return std::to_string(k.PbSetText(1, "t")); }, "0", true},
      {"PbGetText", [](const Kit& k) { return k.PbGetText(1); }, "", true},
      {"PbGetSecret",
       [](const Kit& k) {
         std::string secret = "left over";
         k.PbGetSecret(1, secret);
         return secret;
       },
       "", true},
      {"PbIsChecked", [](const Kit& k) { return std::to_string(k.PbIsChecked(1)); }, "0", true},
      {"PbDialogAddButton",
       [](const Kit& k) {
         PbDialog d;
         return std::to_string(k.PbDialogAddButton(d, "t", 0, 0, 9, 9));
       },
       "0", true},
      {"PbDialogSetTimer",
       [](const Kit& k) {
         PbDialog d;
         return std::to_string(k.PbDialogSetTimer(d, 1, 1));
       },
       "0", true},
      {"PbDialogEvent (Enter)",
       [enter](const Kit& k) {
         PbDialog d;
         return std::to_string(k.PbDialogEvent(d, enter));
       },
       "-100", true},
      {"PbRunDialog",
       [](const Kit& k) {
         PbDialog d;
         Kit::PbDialogInit(d, 1);
         return std::to_string(k.PbRunDialog(d, GetTickCount() + 1000));
       },
       "-1", true},
      {"PbFinish",
       [](const Kit& k) {
         k.PbFinish();
         return std::string();
       },
       "", true},
      {"PbDialogClose", [](const Kit& k) { return std::to_string(k.PbDialogClose()); }, "0",
       false},
  };
  const DoorRow rows[] = {
      {"DLL imports off in the terminal's options", false, true, "(for the terminal)"},
      {"DLL imports off for the program", true, false, "(for this program)"},
      {"DLL imports off for both", false, false, "(for the terminal and for this program)"},
      {"DLL imports allowed", true, true, nullptr},
  };
  Mql4Imports stand;
#define PB_STUB(module, name, ...) stand.name = &Stub<mql4::name>::Call;
  PB_KIT_IMPORTS(PB_STUB)
#undef PB_STUB
  constexpr char kOff[] = "parambridge: DLL imports are off ";
  int failures = 0;
  for (const DoorRow& r : rows) {
    round++;
    Terminal terminal;
    terminal.dllsAllowed = r.terminal;
    const Kit kit(stand, terminal, ProgramType::kExpert, r.program);
    std::string bad;
    for (const EntryPoint& p : points) {
      g_calls = 0;
      const std::string got = p.call(kit);
      if (r.where && (g_calls != 0 || got != p.shut))
        bad += std::string(p.name) + " gave \"" + got + "\" after " + std::to_string(g_calls) +
               " calls; ";
      if (!r.where && p.callsWhenOpen && g_calls == 0)
        bad += std::string(p.name) + " called no import; ";
    }
    int said = 0;
    std::string line;
    for (const std::string& l : terminal.log())
      if (l.rfind(kOff, 0) == 0) {
        said++;
        line = l;
      }
    if (said != (r.where ? 1 : 0) || (r.where && line.find(r.where) == std::string::npos))
      bad += "said " + std::to_string(said) + " times: \"" + line + "\"";
    if (bad.empty()) {
      std::printf("ok   %d (%s)%s%s\n", round, r.what, line.empty() ? "" : ": ", line.c_str());
    } else {
      std::printf("FAIL %d (%s): %s\n", round, r.what, bad.c_str());
      failures++;
    }
  }
  return failures;
}
