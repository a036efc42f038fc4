// The demo host: a Windows console program in the part of an expert
// advisor. It loads parambridge.dll as the terminal does, fetches the
// parameters of one account, shows a sample dialog made with the toolkit,
// reads back what was entered, and shows a failed fetch on a fresh module.
// Every call goes through the MQL4 kit's types (mql4_kit.h).
//
//   pb_demo_host [--dll PATH] [--account A] [--unknown-account B]
//                [--seconds N] [--vendor-gate DIR]
//                [--offline | --kit-fetch | --fetch-once]
//
// With --vendor-gate the demo also refreshes the running module twice, the
// sample expert's way (sample_expert.h): before each refresh it prints
// "vendor-step N" and waits (at most 60 s) for the file DIR/vendor-N.done,
// which whoever plays the vendor makes once the server's answer has
// changed: step 1 a changed value, step 2 the licence revoked.
//
// --offline leaves out both fetches (no server needed) and instead runs the
// dialog once per row of a table of visitor's actions (posted clicks and
// keys), each on a freshly loaded module, and checks what comes back, then
// a table of calls the kit's wrappers must refuse without a fetch, the
// claim's table and the "Allow DLL imports" table; the kit's test runs it
// so. --kit-fetch runs a table of the kit's
// PbLoadParameters against the server (--account is served, and
// --unknown-account is not), on one module and on fresh ones; the fetch
// tests run it so and check what reached the server. --fetch-once makes one
// fetch for --account and prints one line, "fetch-once RESULT CODE
// func101=... func102=... func103=... description=TEXT", for whoever
// judges it (the demo's pinned https part). Exit status: 0 on
// success; 2 bad arguments; 3 the DLL or one of its imports is missing;
// 4 the fetch failed; 5 the dialog failed; 6 the unknown account was served;
// 7 a refresh did not reach the running module (or the vendor never acted).
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "claim_table.h"
#include "dlls_table.h"
#include "mql4_kit.h"
#include "refresh_table.h"
#include "sample_expert.h"

namespace {

struct Options {
  std::string dll = "parambridge.dll";
  std::string account = "12345";
  std::string unknownAccount = "99999";
  int seconds = 8;
  std::string vendorGate;  // empty: no refreshes
  bool offline = false;
  bool kitFetch = false;
  bool fetchOnce = false;
};

void Fail(const char* what) { std::printf("demo: error: %s\n", what); }

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--dll" && hasValue) {
      o.dll = argv[++i];
    } else if (a == "--account" && hasValue) {
      o.account = argv[++i];
    } else if (a == "--unknown-account" && hasValue) {
      o.unknownAccount = argv[++i];
    } else if (a == "--seconds" && hasValue) {
      o.seconds = std::atoi(argv[++i]);
      if (o.seconds < 1 || o.seconds > 600) return false;
    } else if (a == "--vendor-gate" && hasValue) {
      o.vendorGate = argv[++i];
    } else if (a == "--offline") {
      o.offline = true;
    } else if (a == "--kit-fetch") {
      o.kitFetch = true;
    } else if (a == "--fetch-once") {
      o.fetchOnce = true;
    } else {
      return false;
    }
  }
  return true;
}

// A module of its own, with every import resolved, or an explanation.
struct Loaded {
  HMODULE dll = nullptr;
  Mql4Imports im;
};

bool Load(const Options& o, Loaded& out) {
  out.dll = LoadLibraryA(o.dll.c_str());
  if (!out.dll) {
    std::printf("demo: error: cannot load %s (Windows error %lu); build it with: make win32\n",
                o.dll.c_str(), static_cast<unsigned long>(GetLastError()));
    return false;
  }
  std::string missing;
  if (!ResolveImports(out.dll, out.im, missing)) {
    std::printf("demo: error: %s lacks imports the kit declares: %s\n", o.dll.c_str(),
                missing.c_str());
    return false;
  }
  return true;
}

std::string Fmt(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.10g", v);
  return text;
}

HWND Hwnd(mql4::Handle handle) { return reinterpret_cast<HWND>(static_cast<INT_PTR>(handle)); }
LPARAM At(int x, int y) { return MAKELPARAM(x, y); }

// What the dialog gave back.
struct DialogResult {
  std::string endedBy;
  std::string account;
  std::string password;
  bool remember = false;
  std::string title;
  int refused = 0;      // OK or Enter with an account that is not 1 to 15 digits, or 0
  int reads = 0;        // PbGetText calls, each of which frees the DLL's block
  bool windowGone = false;
  bool quitLeft = false;  // a WM_QUIT left in the queue after the teardown
};

// The controls a visitor would use, for the first-tick hook.
struct DialogControls {
  mql4::Handle host, account, password, remember, ok, cancel;
};
using ReadyHook = std::function<void(const DialogControls&)>;

// The sample dialog, as the sample script builds it with the .mqh: values
// as labels, an account box, a password box with the focus, a check box,
// OK and Cancel, and a once-a-second timer that counts down and closes it
// when nobody clicks. OK and Enter go on only with an account of digits
// that is not 0 (not logged in). The password box is read only when the
// visitor accepted, and the host's copy wiped once used.
// `onReady` runs at the first tick, once the window has been painted.
// `teardown`: leave the window to PbDialogClose, as OnDeinit would.

bool RunDialog(const Kit& kit, const Options& o, const std::string values[3],
               DialogResult& result, const ReadyHook& onReady, bool teardown = false) {
  const int width = 380, height = 300;
  const mql4::Handle host =
      kit.PbMakeWindow("parambridge - sample dialog", 200, 150, width, height, PB_PLACE_AT);
  if (host == 0) {
    Fail("UIMakeWindow gave no window");
    return false;
  }
  kit.PbAddLabel("Parameters served for account " + o.account + ":", 12, 10, 18, 350);
  kit.PbAddLabel("func101 = " + values[0], 28, 32, 18, 320);
  kit.PbAddLabel("func102 = " + values[1], 28, 52, 18, 320);
  kit.PbAddLabel("func103 = " + values[2], 28, 72, 18, 320);
  kit.PbAddLabel("Account:", 12, 106, 20, 80);
  const mql4::Handle account = kit.PbAddTextBox(o.account, 100, 102, 24, 160, false, false);
  kit.PbAddLabel("Password:", 12, 138, 20, 80);
  const mql4::Handle password = kit.PbAddTextBox("", 100, 134, 24, 160, true, true);
  const mql4::Handle remember = kit.PbAddCheckbox(false, "Remember this account", 100, 166, 20, 230);
  PbDialog dialog;
  Kit::PbDialogInit(dialog, host);
  const mql4::Handle ok = kit.PbDialogAddButton(dialog, "OK", 100, 198, 28, 80);
  const mql4::Handle cancel = kit.PbDialogAddButton(dialog, "Cancel", 190, 198, 28, 80);
  int left = o.seconds;
  const mql4::Handle status =
      kit.PbAddLabel("Closes by itself in " + std::to_string(left) + " s", 12, 238, 18, 350);
  if (!account || !password || !remember || !ok || !cancel || !status) {
    Fail("a control could not be made");
    kit.PbFinish();
    return false;
  }
  if (!kit.PbDialogSetTimer(dialog, 1, 1)) {
    Fail("UIAddTimer failed");
    kit.PbFinish();
    return false;
  }

  bool announced = false;
  const DWORD deadline = GetTickCount() + static_cast<DWORD>(o.seconds + 30) * 1000u;
  for (;;) {
    const int what = kit.PbRunDialog(dialog, deadline);
    const bool accepting =
        (what == PB_DIALOG_BUTTON && dialog.button == ok) || what == PB_DIALOG_ENTER;
    if (accepting) {
      result.reads++;
      const std::string typed = kit.PbGetText(account);
      if (!Kit::PbAccountIsValid(typed) || Kit::PbAccountIsZero(typed)) {
        result.refused++;
        kit.PbSetText(status, Kit::PbAccountIsValid(typed) ? "Account 0 is no login: log in first"
                                                           : "The account is 1 to 15 digits");
        continue;
      }
    }
    if (what == PB_DIALOG_TICK) {
      if (!announced) onReady({host, account, password, remember, ok, cancel});
      announced = true;
      if (--left <= 0) {
        result.endedBy = "the timer (nobody clicked)";
        break;
      }
      kit.PbSetText(status, "Closes by itself in " + std::to_string(left) + " s");
      continue;
    }
    if (what == PB_DIALOG_BUTTON) {
      result.endedBy = dialog.button == ok ? "OK" : "Cancel";
    } else if (what == PB_DIALOG_ENTER) {
      result.endedBy = "Enter (OK)";
    } else if (what == PB_DIALOG_ESCAPE) {
      result.endedBy = "Escape (Cancel)";
    } else if (what == PB_DIALOG_CLOSED) {
      result.endedBy = "the window closing";
    } else {
      Fail("the dialog did not end in time");
      kit.PbFinish();
      return false;
    }
    break;
  }
  kit.im().UIKillTimer(1);
  result.account = kit.PbGetText(account);
  if (result.endedBy == "OK" || result.endedBy == "Enter (OK)") {
    std::string secret;
    kit.PbGetSecret(password, secret);
    result.password = secret;  // what the script would use
    Kit::PbWipe(secret);
    result.reads++;
  }
  result.remember = kit.PbIsChecked(remember);
  result.title = kit.PbGetText(host);
  result.reads += 2;
  if (teardown) {
    if (!kit.PbDialogClose()) Fail("PbDialogClose found no window");
  } else {
    kit.PbFinish();
  }
  result.windowGone = !IsWindow(Hwnd(host));
  MSG quit = {};
  result.quitLeft = PeekMessageA(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
  return true;
}

void PrintDialog(const DialogResult& d) {
  std::printf("  closed by:  %s\n", d.endedBy.c_str());
  std::printf("  account:    \"%s\"\n", d.account.c_str());
  std::printf("  password:   \"%s\" (%zu characters, shown as '*')\n", d.password.c_str(),
              d.password.size());
  std::printf("  remember:   %s\n", d.remember ? "checked" : "not checked");
}

// Without a server: what the kit's dialog loop makes of what a visitor
// does, one round per row, each on a freshly loaded module (so the window
// class is registered anew every time). The visitor's input is posted to
// the controls at the first tick; the dialog's text comes back through
// UIGetText and kernel32.
struct OfflineRound {
  const char* what;
  std::function<void(const Kit&, const DialogControls&)> visit;
  const char* endedBy;
  const char* password;
  bool remember;
  const char* account = nullptr;  // what the account box holds; null: --account
  int refused = 0;                // OK or Enter turned away for the account
  bool teardown = false;          // closed by PbDialogClose instead of PbFinish
};

// A key as the visitor presses it on `window`.
void Key(mql4::Handle window, WPARAM key) { PostMessageA(Hwnd(window), WM_KEYDOWN, key, 0); }

// A left click as the visitor makes it: press and release on `button`, the
// release at (x, y) relative to it.
void Click(mql4::Handle button, int x, int y) {
  PostMessageA(Hwnd(button), WM_LBUTTONDOWN, MK_LBUTTON, At(10, 10));
  PostMessageA(Hwnd(button), WM_LBUTTONUP, 0, At(x, y));
}

// A call the kit's wrappers refuse without asking the server.
struct RefusalRow {
  const char* what;
  ProgramType type;
  const char* account;  // null: PbMakeWindow instead of PbLoadParameters
  int want;
  int accountType = 0;
};

int Offline(const Options& o) {
  const OfflineRound rounds[] = {
      {"nobody clicks", [](const Kit&, const DialogControls&) {},
       "the timer (nobody clicked)", "", false},
      {"a click on OK",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.password, "pw");
         Click(c.ok, 10, 10);
       },
       "OK", "pw", false},
      {"a press on OK released outside it, then Cancel",
       [](const Kit&, const DialogControls& c) {
         Click(c.ok, 200, 10);
         Click(c.ok, -3, 10);
         Click(c.cancel, 79, 27);
       },
       "Cancel", "", false},
      {"Space on the focused Cancel button",
       [](const Kit&, const DialogControls& c) {
         PostMessageA(Hwnd(c.cancel), WM_KEYUP, VK_SPACE, 0);
       },
       "Cancel", "", false},
      {"Enter in the password box",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.password, "s3cret");
         Key(c.password, VK_RETURN);
       },
       "Enter (OK)", "s3cret", false},
      {"Escape after ticking the box",
       [](const Kit& kit, const DialogControls& c) {
         kit.im().UIHide(c.account);  // hidden controls still give their text
         SendMessageA(Hwnd(c.remember), BM_SETCHECK, BST_CHECKED, 0);
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", true},
      {"a release on Cancel after a press on OK, then Escape",
       [](const Kit&, const DialogControls& c) {
         PostMessageA(Hwnd(c.ok), WM_LBUTTONDOWN, MK_LBUTTON, At(10, 10));
         PostMessageA(Hwnd(c.cancel), WM_LBUTTONUP, 0, At(10, 10));
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", false},
      {"a release on OK with no press, then Escape",
       [](const Kit&, const DialogControls& c) {
         PostMessageA(Hwnd(c.ok), WM_LBUTTONUP, 0, At(10, 10));
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", false},
      {"a press on the label area released on OK, then Escape",
       [](const Kit&, const DialogControls& c) {
         PostMessageA(Hwnd(c.host), WM_LBUTTONDOWN, MK_LBUTTON, At(5, 5));
         PostMessageA(Hwnd(c.ok), WM_LBUTTONUP, 0, At(10, 10));
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", false},
      {"Enter with the focus on Cancel",
       [](const Kit&, const DialogControls& c) {
         SetFocus(Hwnd(c.cancel));
         Key(c.cancel, VK_RETURN);
       },
       "Cancel", "", false},
      {"Enter with the focus on OK",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.password, "pw");
         SetFocus(Hwnd(c.ok));
         Key(c.ok, VK_RETURN);
       },
       "OK", "pw", false},
      {"OK with letters in the account, then Escape",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.account, "12a45");
         Click(c.ok, 10, 10);
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", false, "12a45", 1},
      {"Enter with an empty account twice, then Cancel",
       [](const Kit&, const DialogControls& c) {
         SendMessageA(Hwnd(c.account), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(""));
         Key(c.password, VK_RETURN);
         Key(c.password, VK_RETURN);
         Click(c.cancel, 10, 10);
       },
       "Cancel", "", false, "", 2},
      {"Enter with a 16-digit account, then Cancel",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.account, "1234567890123456");
         Key(c.password, VK_RETURN);
         Click(c.cancel, 10, 10);
       },
       "Cancel", "", false, "1234567890123456", 1},
      {"Enter with a 15-digit account",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.account, "123456789012345");
         Key(c.password, VK_RETURN);
       },
       "Enter (OK)", "", false, "123456789012345"},
      {"a password typed, then Cancel: the password box is not read",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.password, "pw");
         Click(c.cancel, 10, 10);
       },
       "Cancel", "", false},
      {"OK with account 0 (not logged in), then Escape",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.account, "0");
         Click(c.ok, 10, 10);
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", false, "0", 1},
      {"Enter with account 000, then Cancel",
       [](const Kit& kit, const DialogControls& c) {
         kit.PbSetText(c.account, "000");
         Key(c.password, VK_RETURN);
         Click(c.cancel, 10, 10);
       },
       "Cancel", "", false, "000", 1},
      {"Escape, the window left to PbDialogClose (OnDeinit)",
       [](const Kit&, const DialogControls& c) {
         Key(c.password, VK_ESCAPE);
       },
       "Escape (Cancel)", "", false, nullptr, 0, true},
  };
  const std::string values[3] = {"-1", "-1", "-1"};
  int failures = 0;
  int round = 0;
  // The terminal model's tables first: they load no module.
  failures += ClaimTable(round);
  failures += DllsTable(round);
  failures += RefreshTable(round);
  Terminal terminal;
  for (const OfflineRound& r : rounds) {
    round++;
    Loaded m;
    if (!Load(o, m)) return 3;
    Kit kit(m.im, terminal);
    DialogResult d;
    if (!RunDialog(kit, o, values, d, [&](const DialogControls& c) { r.visit(kit, c); },
                   r.teardown))
      return 5;
    struct {
      const char* what;
      std::string got, want;
    } checks[] = {
        {"closed by", d.endedBy, r.endedBy},
        {"account", d.account, r.account ? r.account : o.account},
        {"password", d.password, r.password},
        {"remember", d.remember ? "checked" : "not checked", r.remember ? "checked" : "not checked"},
        {"title", d.title, "parambridge - sample dialog"},
        {"accounts turned away", std::to_string(d.refused), std::to_string(r.refused)},
        {"UIGetText blocks freed", std::to_string(kit.freedBlocks()), std::to_string(d.reads)},
        {"window after the teardown", d.windowGone ? "gone" : "still there", "gone"},
        {"quit message after the teardown", d.quitLeft ? "left" : "taken", "taken"},
        {"func101 before any fetch", Fmt(kit.PbFunc101()), "-1"},
        {"description before any fetch", kit.PbLastErrorDescription(), "Internal dll error"},
        {"its kind (PbFailureKind)", std::to_string(Kit::PbFailureKind(kit.PbLastErrorDescription())),
         std::to_string(PB_FAILURE_UNREADABLE)},
    };
    int bad = 0;
    for (const auto& c : checks) {
      if (c.got != c.want) {
        std::printf("FAIL %d (%s): %s: got \"%s\", want \"%s\"\n", round, r.what, c.what,
                    c.got.c_str(), c.want.c_str());
        bad++;
      }
    }
    if (!bad) std::printf("ok   %d (%s): closed by %s\n", round, r.what, d.endedBy.c_str());
    failures += bad;
    FreeLibrary(m.dll);
  }

  const RefusalRow refusals[] = {
      {"a fetch from an indicator", ProgramType::kIndicator, "12345", PB_LOAD_REFUSED},
      {"a window from an indicator", ProgramType::kIndicator, nullptr, 0},
      {"an account with a letter", ProgramType::kExpert, "12a45", PB_LOAD_REFUSED},
      {"an empty account", ProgramType::kExpert, "", PB_LOAD_REFUSED},
      {"an account with a space", ProgramType::kExpert, "12345 ", PB_LOAD_REFUSED},
      {"an account with form syntax", ProgramType::kExpert, "1&accountType=9", PB_LOAD_REFUSED},
      {"an account of 16 digits", ProgramType::kExpert, "1234567890123456", PB_LOAD_REFUSED},
      {"a negative account", ProgramType::kExpert, "-12345", PB_LOAD_REFUSED},
      {"an account type the claim cannot hold (8)", ProgramType::kExpert, "12345",
       PB_LOAD_REFUSED, 8},
      {"a negative account type", ProgramType::kExpert, "12345", PB_LOAD_REFUSED, -1},
  };
  for (const RefusalRow& r : refusals) {
    round++;
    Loaded m;
    if (!Load(o, m)) return 3;
    Terminal own;
    Kit kit(m.im, own, r.type);
    const int got = r.account ? kit.PbLoadParameters(r.account, r.accountType)
                              : kit.PbMakeWindow("refused", 0, 0, 100, 100, PB_PLACE_AT);
    const int code = m.im.GetLastErrorCode();  // 0: no fetch was made
    const std::vector<std::string> said = own.log();
    if (got != r.want || code != 0 || said.size() != 1) {
      std::printf("FAIL %d (%s): got %d, want %d; last error code %d, want 0; %zu log lines, "
                  "want 1\n",
                  round, r.what, got, r.want, code, said.size());
      failures++;
    } else {
      std::printf("ok   %d (%s): refused: %s\n", round, r.what, said[0].c_str());
    }
    if (!r.account && got) kit.PbFinish();
    FreeLibrary(m.dll);
  }
  std::printf("offline: %s\n", failures ? "FAILED" : "all rounds as expected");
  return failures ? 5 : 0;
}

// The kit's account guard against the server, in order: the DLL keeps the
// first account's parameters until it is unloaded, the first program to
// fetch claims the terminal session for its account, and the kit must
// never present one account's parameters as another's.
struct KitFetchRow {
  const char* what;
  bool freshModule;     // FreeLibrary, LoadLibrary first
  bool freshTerminal;   // a restarted terminal: no claim
  bool servedAccount;   // --account, else --unknown-account
  const char* account;  // when not null: this text instead
  int want;
  int failure = 0;      // PB_FAILURE_... of PB_LOAD_FAILED: what the sample makes of it
};

int KitFetch(const Options& o) {
  const KitFetchRow rows[] = {
      {"an account with a letter: refused, nothing sent", false, false, true, "12a45",
       PB_LOAD_REFUSED},
      {"the served account", false, false, true, nullptr, PB_LOAD_OK},
      {"the served account again: no request", false, false, true, nullptr, PB_LOAD_OK},
      {"another account on the same module", false, false, false, nullptr,
       PB_LOAD_OTHER_ACCOUNT},
      {"another account on a fresh module: the claim stays, nothing sent", true, false, false,
       nullptr, PB_LOAD_OTHER_ACCOUNT},
      {"a restarted terminal, another account: the server refuses", true, true, false, nullptr,
       PB_LOAD_FAILED, PB_FAILURE_SERVER},
      {"then the served account: the failed fetch's claim stays", false, false, true, nullptr,
       PB_LOAD_OTHER_ACCOUNT},
      {"a restarted terminal, the served account", true, true, true, nullptr, PB_LOAD_OK},
      {"then another account on that module", false, false, false, nullptr,
       PB_LOAD_OTHER_ACCOUNT},
      {"a restarted terminal whose DLL already holds parameters: not recorded", false, true,
       true, nullptr, PB_LOAD_OTHER_ACCOUNT},
  };
  auto terminal = std::make_unique<Terminal>();
  Loaded m;
  if (!Load(o, m)) return 3;
  int failures = 0;
  int n = 0;
  for (const KitFetchRow& r : rows) {
    n++;
    if (r.freshModule) {
      FreeLibrary(m.dll);
      m = Loaded{};
      if (!Load(o, m)) return 3;
    }
    if (r.freshTerminal) terminal = std::make_unique<Terminal>();
    const std::string account =
        r.account ? r.account : (r.servedAccount ? o.account : o.unknownAccount);
    const std::size_t logged = terminal->log().size();
    const Kit kit(m.im, *terminal);
    const int got = kit.PbLoadParameters(account, 0);
    const int failure = r.failure ? Kit::PbFailureKind(kit.PbLastErrorDescription()) : 0;
    const std::vector<std::string> log = terminal->log();
    const bool said = log.size() > logged;
    // The kit speaks when it refuses or finds another account's claim.
    const bool wantSaid = r.want == PB_LOAD_REFUSED || r.want == PB_LOAD_OTHER_ACCOUNT;
    if (got != r.want || said != wantSaid || failure != r.failure) {
      std::printf("FAIL %d (%s): got %d, want %d; failure kind %d, want %d; %s\n", n, r.what, got,
                  r.want, failure, r.failure, said ? log.back().c_str() : "nothing said");
      failures++;
    } else {
      std::printf("ok   %d (%s): %d%s%s\n", n, r.what, got, said ? ": " : "",
                  said ? log.back().c_str() : "");
    }
  }
  FreeLibrary(m.dll);
  std::printf("kit-fetch: %s\n", failures ? "FAILED" : "all rows as expected");
  return failures ? 4 : 0;
}

}  // namespace

int FetchOnce(const Options& o) {
  Loaded loaded;
  if (!Load(o, loaded)) return 3;
  Terminal terminal;
  Kit kit(loaded.im, terminal);
  const int result = kit.PbLoadParameters(o.account, 0);
  std::printf("fetch-once %d %d func101=%s func102=%s func103=%s description=%s\n", result,
              loaded.im.GetLastErrorCode(), Fmt(kit.PbFunc101()).c_str(),
              Fmt(kit.PbFunc102()).c_str(), Fmt(kit.PbFunc103()).c_str(),
              kit.PbLastErrorDescription().c_str());
  FreeLibrary(loaded.dll);
  return 0;
}

// Tells the vendor that step `n` is due and waits for its file.
bool VendorActed(const Options& o, int n) {
  std::printf("vendor-step %d\n", n);
  const std::string done = o.vendorGate + "/vendor-" + std::to_string(n) + ".done";
  const DWORD deadline = GetTickCount() + 60000;
  while (GetFileAttributesA(done.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (static_cast<LONG>(GetTickCount() - deadline) >= 0) {
      std::printf("demo: error: the vendor's step %d never came (%s)\n", n, done.c_str());
      return false;
    }
    Sleep(50);
  }
  return true;
}

// The chart's lines, on one line, for printing.
std::string OneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = '|';
  return text;
}

// What the refreshes showed, for the summary.
struct RefreshResult {
  std::string changed;  // func101 after the vendor changed it
  std::string revoked;  // the description after the revocation
  std::string after;    // func101 after the revocation
};

// The sample expert on the running module, an hour apart: the vendor
// changes a value, then revokes the licence; each reaches the module at
// the expert's next refresh, without a restart.
bool Refreshes(const Options& o, const Kit& kit, Terminal& terminal, RefreshResult& out) {
  terminal.now = static_cast<datetime>(std::time(nullptr));
  terminal.login = std::atoll(o.account.c_str());
  SampleExpert expert(kit, terminal);
  expert.OnInit();
  expert.OnTimer();  // the module holds this account's values: loaded at once
  if (!expert.OnTick()) {
    Fail("the sample expert does not trade on the loaded module");
    return false;
  }
  const std::string before = Fmt(kit.PbFunc101());
  if (!VendorActed(o, 1)) return false;
  terminal.now += PB_REFRESH_MINUTES * 60;
  DWORD t0 = GetTickCount();
  expert.OnTimer();
  const DWORD refreshMs = GetTickCount() - t0;
  const bool traded = expert.OnTick();
  out.changed = Fmt(kit.PbFunc101());
  std::printf("  %d minutes later, PbRefreshParameters (%lu ms): func101 = %s (was %s); %s\n",
              PB_REFRESH_MINUTES, static_cast<unsigned long>(refreshMs), out.changed.c_str(),
              before.c_str(), traded ? "the expert trades on it" : "the expert does NOT trade");
  std::printf("  log:   %s\n", terminal.log().back().c_str());
  if (!traded || out.changed == before) {
    Fail("the changed value did not reach the running module");
    return false;
  }
  if (!VendorActed(o, 2)) return false;
  terminal.now += PB_REFRESH_MINUTES * 60;
  expert.OnTimer();
  const bool tradedAfter = expert.OnTick();
  out.revoked = kit.PbLastErrorDescription();
  out.after = Fmt(kit.PbFunc101());
  std::printf("  %d minutes later, the licence revoked: func101 = %s (not loaded); %s\n",
              PB_REFRESH_MINUTES, out.after.c_str(),
              tradedAfter ? "the expert still trades" : "the expert stopped trading");
  std::printf("  log:   %s\n", terminal.log().back().c_str());
  std::printf("  chart: %s\n", OneLine(terminal.chart()).c_str());
  if (tradedAfter || expert.state() != SampleExpert::kDenied || out.after != "-1") {
    Fail("the revocation did not reach the running module");
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::printf(
        "usage: pb_demo_host [--dll PATH] [--account A] [--unknown-account B] [--seconds N] "
        "[--vendor-gate DIR] [--offline | --kit-fetch | --fetch-once]\n");
    return 2;
  }
  if (o.offline) return Offline(o);
  if (o.kitFetch) return KitFetch(o);
  if (o.fetchOnce) return FetchOnce(o);

  const int steps = o.vendorGate.empty() ? 4 : 5;
  std::printf("[1/%d] Loading %s and resolving the kit's imports\n", steps, o.dll.c_str());
  Loaded first;
  if (!Load(o, first)) return 3;
  Terminal terminal;  // shared by the programs of one terminal
  Kit kit(first.im, terminal);
  std::printf("  before any fetch: func101 = %s (not loaded yet)\n", Fmt(kit.PbFunc101()).c_str());

  std::printf("[2/%d] LoadParameters(\"%s\", 0)\n", steps, o.account.c_str());
  DWORD t0 = GetTickCount();
  const int loaded = kit.PbLoadParameters(o.account, 0);
  const DWORD fetchMs = GetTickCount() - t0;
  if (loaded != PB_LOAD_OK) {
    std::printf("demo: error: the fetch failed: code %d, \"%s\" -- is the server up on the "
                "address the DLL was built with?\n",
                first.im.GetLastErrorCode(), kit.PbLastErrorDescription().c_str());
    return 4;
  }
  const std::string values[3] = {Fmt(kit.PbFunc101()), Fmt(kit.PbFunc102()),
                                 Fmt(kit.PbFunc103())};
  std::printf("  result 1 in %lu ms\n", static_cast<unsigned long>(fetchMs));
  std::printf("  func101 = %s\n  func102 = %s\n  func103 = %s\n", values[0].c_str(),
              values[1].c_str(), values[2].c_str());
  t0 = GetTickCount();
  std::vector<mql4::uchar> other = Kit::PbText("other");
  const int again = first.im.LoadParameters(other.data(), 7);
  std::printf("  a second LoadParameters(\"other\", 7) returns %d at once (%lu ms): a success is final\n",
              again, static_cast<unsigned long>(GetTickCount() - t0));
  const int elsewhere = kit.PbLoadParameters(o.unknownAccount, 0);
  std::printf("  so the kit's PbLoadParameters(\"%s\", 0) gives %d (PB_LOAD_OTHER_ACCOUNT): %s\n",
              o.unknownAccount.c_str(), elsewhere,
              terminal.log().empty() ? "(nothing said)" : terminal.log().back().c_str());
  if (elsewhere != PB_LOAD_OTHER_ACCOUNT) {
    Fail("another account's request was answered with this account's parameters");
    return 6;
  }

  std::printf("[3/%d] Sample dialog (closes by itself after %d s)\n", steps, o.seconds);
  DialogResult d;
  // The window has been painted by the first tick: tell whoever takes the
  // screenshot (and types) where it is, in screen coordinates.
  const auto announce = [](const DialogControls& c) {
    RECT r = {};
    GetWindowRect(Hwnd(c.host), &r);
    std::printf("dialog-ready %ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
                r.bottom - r.top);
  };
  if (!RunDialog(kit, o, values, d, announce)) return 5;
  PrintDialog(d);

  RefreshResult refreshed;
  if (steps == 5) {
    std::printf("[4/5] The running module refreshed by the sample expert every %d minutes "
                "(the clock moved on)\n",
                PB_REFRESH_MINUTES);
    if (!Refreshes(o, kit, terminal, refreshed)) return 7;
  }

  std::printf("[%d/%d] A restarted terminal, a fresh module (FreeLibrary, LoadLibrary) and "
              "unknown account \"%s\"\n",
              steps, steps, o.unknownAccount.c_str());
  FreeLibrary(first.dll);
  Loaded second;
  if (!Load(o, second)) return 3;
  Terminal restarted;  // the first account's claim stays with the first terminal
  Kit kit2(second.im, restarted);
  const int unknown = kit2.PbLoadParameters(o.unknownAccount, 0);
  const int code = second.im.GetLastErrorCode();
  const std::string description = kit2.PbLastErrorDescription();
  std::printf("  result %d, code %d (_GetLastErrorCode@0, C++ hosts only), description \"%s\"\n",
              unknown, code, description.c_str());
  std::printf("  func101 = %s (not loaded)\n", Fmt(kit2.PbFunc101()).c_str());
  if (unknown != 0) {
    Fail("the unknown account was served");
    return 6;
  }
  FreeLibrary(second.dll);

  // One line for whoever runs the demo to quote (the script adds timings).
  std::string refreshes;
  if (steps == 5)
    refreshes = "; refreshed while running -> func101=" + refreshed.changed + ", then revoked -> \"" +
                refreshed.revoked + "\", func101=" + refreshed.after + ", not trading";
  std::printf("demo-summary func101=%s func102=%s func103=%s; dialog closed by %s%s; "
              "unknown account -> code %d \"%s\"\n",
              values[0].c_str(), values[1].c_str(), values[2].c_str(), d.endedBy.c_str(),
              refreshes.c_str(), code, description.c_str());
  return 0;
}
