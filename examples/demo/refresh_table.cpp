// The refresh's tables; see refresh_table.h. The module is a stand-in with
// RefreshParameters' contract, answering from a script of the server's
// replies (one per exchange, no network): a status of 100 replaces the
// values; a decision (201 to 299) unloads them (the getters give -1.0) with
// the server's text; anything else keeps them, with the description that
// LoadParameters would give for that reply. LoadParameters asks only while
// nothing is loaded. It counts the exchanges.
#include "refresh_table.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mql4_kit.h"
#include "sample_expert.h"

namespace {

// One reply of the server, as the module judges it.
struct Reply {
  int status;              // 100, a decision (201..299), another status, or kNone / kNoStatus
  double func101 = 0;      // with 100: the new value (func102 and func103 stay fixed)
  const char* text = "";   // errorD with a status above 100
};
constexpr int kNone = 3;      // no connection, an empty reply (an empty 503), a cut one: code 3
constexpr int kNoStatus = 2;  // a reply without a status (a load balancer's HTML page): code 2

class StandIn {
 public:
  explicit StandIn(std::vector<Reply> script) : script_(std::move(script)) {}
  int Load() {
    if (loaded_) return 1;
    return Exchange(false);
  }
  int Refresh() { return Exchange(true); }
  double Get(int which) const {
    if (!loaded_) return -1.0;
    return which == 1 ? f101_ : which == 2 ? 0.00025 : 12345.678;
  }
  const std::string& description() const { return description_; }
  int exchanges() const { return exchanges_; }

 private:
  int Exchange(bool refresh) {
    const Reply r = exchanges_ < static_cast<int>(script_.size()) ? script_[exchanges_]
                                                                  : Reply{kNone};
    exchanges_++;
    if (r.status == 100) {
      loaded_ = true;
      f101_ = r.func101;
      description_ = "Internal dll error";
      return 1;
    }
    description_ = r.status == kNone       ? "Could not connect to server."
                   : r.status > 100        ? r.text
                                           : "Internal dll error";
    // A decision unloads a running module; anything else leaves it as it
    // was. Before any success a refresh is a load: nothing is loaded.
    if (r.status >= 201 && r.status <= 299) loaded_ = false;
    if (!refresh) loaded_ = false;
    return 0;
  }

  std::vector<Reply> script_;
  bool loaded_ = false;
  double f101_ = -1.0;
  std::string description_ = "Internal dll error";
  int exchanges_ = 0;
};

StandIn* g_module = nullptr;
int __stdcall Load(mql4::uchar*, int) { return g_module->Load(); }
int __stdcall Refresh(mql4::uchar*, int) { return g_module->Refresh(); }
double __stdcall Get101(int, int) { return g_module->Get(1); }
double __stdcall Get102(int, int, int, int) { return g_module->Get(2); }
double __stdcall Get103(int, int, int, int) { return g_module->Get(3); }
void __stdcall Describe(mql4::uchar* buffer) {
  std::strncpy(reinterpret_cast<char*>(buffer), g_module->description().c_str(), 255);
  buffer[255] = 0;
}

Mql4Imports StandInImports() {
  Mql4Imports im;
  im.LoadParameters = Load;
  im.RefreshParameters = Refresh;
  im.func101 = Get101;
  im.func102 = Get102;
  im.func103 = Get103;
  im.GetLastErrorDescription = Describe;
  return im;
}

constexpr datetime kStart = 1740992400;  // 2025.03.03 09:00, when the expert is attached
constexpr int kHour = 60;                // minutes

// The sample expert on one chart: attached at kStart, its first OnTimer
// fetches (the script's first reply); then per step the clock moves on by
// `minutes`, the timer fires once and a tick arrives.
struct Step {
  int minutes;
  bool reattach = false;  // the expert is removed and attached again first
};

struct ExpertRow {
  const char* what;
  std::vector<Reply> script;
  std::vector<Step> steps;
  bool trades;        // what the last tick did
  double func101;     // what the DLL's getter gives at the end
  int exchanges;
  const char* chart;  // a piece of the chart's text at the end
  const char* said;   // a piece of the last line in the Experts log
  const char* notOnChart = nullptr;  // a piece the chart must not hold
};

int ExpertTable(int& round) {
  const Reply ok15{100, 1.5}, ok25{100, 2.5}, none{kNone};
  const ExpertRow rows[] = {
      {"a refresh with a changed value: trades on the new one",
       {ok15, ok25}, {{kHour}}, true, 2.5, 2, "func101 = 2.5",
       "parameters confirmed for account 12345: func101=2.5 func102=0.00025", "not confirmed"},
      {"before PB_REFRESH_MINUTES nothing is sent",
       {ok15, ok25}, {{kHour - 1}}, true, 1.5, 1, "func101 = 1.5",
       "parameters loaded for account 12345: func101=1.5"},
      {"revoked at a refresh (205): stops at once and shows the server's text",
       {ok15, {205, 0, "Licence revoked"}}, {{kHour}}, false, -1.0, 2,
       "parambridge: refused by the server: Licence revoked\nNot trading.",
       "refresh for account 12345 refused by the server: Licence revoked; not trading"},
      {"no connection at a refresh, within the grace period: trades on the last good values",
       {ok15, none}, {{kHour}}, true, 1.5, 2,
       "func101 = 1.5\nfunc102 = 0.00025\nfunc103 = 12345.678\nparambridge: not confirmed since "
       "2025.03.03 10:00 (could not connect to the server); trading on these values until "
       "2025.03.06 10:00.",
       "refresh for account 12345 failed: Could not connect to server.; the parameters are "
       "unconfirmed since 2025.03.03 10:00, trading on them until 2025.03.06 10:00 (next try in 15 s)"},
      {"a reply without a status (a load balancer's page) at a refresh: kept, named unreadable",
       {ok15, {kNoStatus}}, {{kHour}}, true, 1.5, 2,
       "not confirmed since 2025.03.03 10:00 (the server's reply could not be read)",
       "refresh for account 12345 failed: Internal dll error;"},
      {"a 404 at a refresh (a moved base path): kept, the server's words shown, no revocation",
       {ok15, {404, 0, "Unknown path"}}, {{kHour}}, true, 1.5, 2,
       "(the server answered: Unknown path); trading on these values",
       "refresh for account 12345 failed: Unknown path;"},
      {"a minute short of the grace period: still trading",
       {ok15, none, none, none}, {{kHour}, {72 * kHour - 1}}, true, 1.5, 3,
       "trading on these values until 2025.03.06 10:00", "failed: Could not connect to server."},
      {"past the grace period: stops trading and says since when",
       {ok15, none, none, none}, {{kHour}, {72 * kHour}}, false, 1.5, 3,
       "parambridge: the parameters are unconfirmed since 2025.03.03 10:00 (could not connect to "
       "the server), longer than the 72-hour grace period. Not trading.",
       "the parameters of account 12345 are unconfirmed since 2025.03.03 10:00, longer than the "
       "72-hour grace period; not trading until the server confirms them"},
      {"the server back after the grace period: trades again on its values",
       {ok15, none, none, ok25}, {{kHour}, {72 * kHour}, {kHour}}, true, 2.5, 4, "func101 = 2.5",
       "parameters confirmed for account 12345: func101=2.5", "not confirmed"},
      {"back within the grace period: the 'since' line goes",
       {ok15, none, ok25}, {{kHour}, {kHour}}, true, 2.5, 3, "func101 = 2.5",
       "parameters confirmed", "not confirmed"},
      {"revoked after failures within the grace period: the refusal wins",
       {ok15, none, {203, 0, "Licence expired"}}, {{kHour}, {kHour}}, false, -1.0, 3,
       "refused by the server: Licence expired", "refused by the server: Licence expired"},
      {"attached again within the grace period: the period does not start anew",
       {ok15, none, none}, {{kHour}, {72 * kHour, true}}, false, 1.5, 3,
       "unconfirmed since 2025.03.03 10:00", "longer than the 72-hour grace period"},
      {"revoked at the first fetch: the same refusal on the chart",
       {{201, 0, "Unknown account"}}, {}, false, -1.0, 1, "refused by the server: Unknown account",
       "fetch for account 12345 refused by the server: Unknown account"},
  };
  int failures = 0;
  for (const ExpertRow& r : rows) {
    round++;
    StandIn module(r.script);
    g_module = &module;
    const Mql4Imports im = StandInImports();
    Terminal terminal;
    terminal.now = kStart;
    terminal.login = 12345;
    const Kit kit(im, terminal);
    SampleExpert expert(kit, terminal);
    expert.OnInit();
    expert.OnTimer();
    bool traded = expert.OnTick();
    for (const Step& s : r.steps) {
      if (s.reattach) {
        expert.OnDeinit();
        expert.OnInit();
        expert.OnTimer();
      }
      terminal.now += s.minutes * 60;
      expert.OnTimer();
      traded = expert.OnTick();
    }
    const std::string chart = terminal.chart();
    const std::vector<std::string> log = terminal.log();
    const std::string last = log.empty() ? "" : log.back();
    std::string bad;
    if (traded != r.trades) bad += traded ? "traded; " : "did not trade; ";
    if (kit.PbFunc101() != r.func101) bad += "func101 " + std::to_string(kit.PbFunc101()) + "; ";
    if (module.exchanges() != r.exchanges)
      bad += std::to_string(module.exchanges()) + " exchanges, want " + std::to_string(r.exchanges) + "; ";
    if (chart.find(r.chart) == std::string::npos) bad += "the chart lacks \"" + std::string(r.chart) + "\"; ";
    if (r.notOnChart && chart.find(r.notOnChart) != std::string::npos)
      bad += "the chart holds \"" + std::string(r.notOnChart) + "\"; ";
    if (last.find(r.said) == std::string::npos) bad += "the log lacks \"" + std::string(r.said) + "\"; ";
    if (bad.empty()) {
      std::printf("ok   %d (%s): %s\n", round, r.what, last.c_str());
    } else {
      std::printf("FAIL %d (%s): %schart \"%s\"; last line \"%s\"\n", round, r.what, bad.c_str(),
                  chart.c_str(), last.c_str());
      failures++;
    }
    g_module = nullptr;
  }
  return failures;
}

// PbRefreshParameters itself: its door and its results.
struct KitRow {
  const char* what;
  std::vector<Reply> script;
  const char* loadAs;  // the account that loads first (type 0); null: no load
  const char* account;
  int type;
  ProgramType program;
  int want;
  int exchanges;
  bool unconfirmed;  // PbUnconfirmedSince() is the refresh's time afterwards
};

int KitTable(int& round) {
  const Reply ok15{100, 1.5}, none{kNone};
  const KitRow rows[] = {
      {"confirmed", {ok15, ok15}, "111", "111", 0, ProgramType::kExpert, PB_LOAD_OK, 2, false},
      {"a decision: revoked", {ok15, {250, 0, "Suspended"}}, "111", "111", 0, ProgramType::kExpert,
       PB_REFRESH_REVOKED, 2, false},
      {"no connection: kept, since now", {ok15, none}, "111", "111", 0, ProgramType::kExpert,
       PB_REFRESH_KEPT, 2, true},
      {"a status above 299: kept", {ok15, {300, 0, "Later"}}, "111", "111", 0,
       ProgramType::kExpert, PB_REFRESH_KEPT, 2, true},
      {"a status of 200: kept, not a decision", {ok15, {200, 0, "Busy"}}, "111", "111", 0,
       ProgramType::kExpert, PB_REFRESH_KEPT, 2, true},
      {"another account's claim: nothing sent", {ok15}, "111", "222", 0, ProgramType::kExpert,
       PB_LOAD_OTHER_ACCOUNT, 1, false},
      {"the same account with another type: nothing sent", {ok15}, "111", "111", 2,
       ProgramType::kExpert, PB_LOAD_OTHER_ACCOUNT, 1, false},
      {"from an indicator: refused, nothing sent", {ok15}, "111", "111", 0,
       ProgramType::kIndicator, PB_LOAD_REFUSED, 1, false},
      {"an account with a letter: refused, nothing sent", {ok15}, "111", "1a1", 0,
       ProgramType::kExpert, PB_LOAD_REFUSED, 1, false},
      {"before any load: claims, and a success loads", {ok15}, nullptr, "111", 0,
       ProgramType::kExpert, PB_LOAD_OK, 1, false},
      {"before any load, no connection: failed as a load, nothing kept", {none}, nullptr, "111", 0,
       ProgramType::kExpert, PB_LOAD_FAILED, 1, false},
  };
  int failures = 0;
  for (const KitRow& r : rows) {
    round++;
    StandIn module(r.script);
    g_module = &module;
    const Mql4Imports im = StandInImports();
    Terminal terminal;
    terminal.now = kStart;
    if (r.loadAs) Kit(im, terminal).PbLoadParameters(r.loadAs, 0);
    terminal.now += kHour * 60;
    const Kit kit(im, terminal, r.program);
    const int got = kit.PbRefreshParameters(r.account, r.type);
    const datetime since = kit.PbUnconfirmedSince();
    const bool unconfirmed = since == terminal.now;
    if (got != r.want || module.exchanges() != r.exchanges || unconfirmed != r.unconfirmed ||
        (!r.unconfirmed && since != 0)) {
      std::printf("FAIL %d (PbRefreshParameters, %s): got %d, want %d; %d exchanges, want %d; "
                  "unconfirmed since %s\n",
                  round, r.what, got, r.want, module.exchanges(), r.exchanges,
                  since ? TimeToString(since).c_str() : "(confirmed)");
      failures++;
    } else {
      std::printf("ok   %d (PbRefreshParameters, %s): %d\n", round, r.what, got);
    }
    g_module = nullptr;
  }
  return failures;
}

}  // namespace

int RefreshTable(int& round) { return KitTable(round) + ExpertTable(round); }
