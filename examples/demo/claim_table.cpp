// The claim's table: charts that start together, a claimer ended in the
// middle of its fetch, a fetch that fails. The programs are real threads
// sharing one Terminal (mql4_kit.h), whose global variables are atomic as
// the terminal's are documented to be. The module is a stand-in with the
// DLL's contract: one exchange at a time on a thread of its own, callers
// join the one in flight, a caller after a success gets 1 at once, after a
// failure the next caller runs a new exchange, and a caller ended while it
// waits holds nothing. It counts the requests and never touches a network.
#include "claim_table.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mql4_kit.h"

namespace {

// The stand-in module. One instance at a time (the imports are plain
// function pointers without a context).
class StandIn {
 public:
  explicit StandIn(std::vector<bool> outcomes, bool holdExchange)
      : outcomes_(std::move(outcomes)),
        gate_(CreateEventA(nullptr, TRUE, holdExchange ? FALSE : TRUE, nullptr)),
        waiting_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
  ~StandIn() {
    Idle();
    CloseHandle(gate_);
    CloseHandle(waiting_);
  }

  // LoadParameters: joins the exchange in flight or starts one, then waits
  // for it without holding any lock.
  int Load() {
    HANDLE done = nullptr;
    {
      std::lock_guard<std::mutex> hold(mu_);
      if (loaded_) return 1;
      if (!inFlight_) {
        requests_++;
        const bool ok = requests_ <= static_cast<int>(outcomes_.size()) && outcomes_[requests_ - 1];
        inFlight_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (worker_.joinable()) worker_.join();
        worker_ = std::thread([this, ok, event = inFlight_] {
          WaitForSingleObject(gate_, INFINITE);
          std::lock_guard<std::mutex> hold(mu_);
          loaded_ = ok;
          result_ = ok ? 1 : 0;
          inFlight_ = nullptr;
          SetEvent(event);
          finished_.push_back(event);
        });
      }
      DuplicateHandle(GetCurrentProcess(), inFlight_, GetCurrentProcess(), &done, 0, FALSE,
                      DUPLICATE_SAME_ACCESS);
    }
    SetEvent(waiting_);
    WaitForSingleObject(done, INFINITE);
    CloseHandle(done);
    std::lock_guard<std::mutex> hold(mu_);
    return result_;
  }
  double Getter() {
    std::lock_guard<std::mutex> hold(mu_);
    return loaded_ ? 1.5 : -1.0;
  }
  void WaitForCaller() { WaitForSingleObject(waiting_, INFINITE); }
  void Open() { SetEvent(gate_); }
  // Waits for the exchange in flight, if any, to finish.
  void Idle() {
    if (worker_.joinable()) worker_.join();
    for (HANDLE h : finished_) CloseHandle(h);
    finished_.clear();
  }
  int requests() {
    std::lock_guard<std::mutex> hold(mu_);
    return requests_;
  }

 private:
  std::vector<bool> outcomes_;  // of the exchanges, in order
  HANDLE gate_;                 // the exchanges wait on it: the server's answer
  HANDLE waiting_;              // set once a caller waits in Load
  std::mutex mu_;
  HANDLE inFlight_ = nullptr;
  std::vector<HANDLE> finished_;
  std::thread worker_;
  bool loaded_ = false;
  int result_ = 0;
  int requests_ = 0;
};

StandIn* g_module = nullptr;
int __stdcall Load(mql4::uchar*, int) { return g_module->Load(); }
double __stdcall Get2(int, int) { return g_module->Getter(); }
double __stdcall Get4(int, int, int, int) { return g_module->Getter(); }

struct Program {
  const char* account;
  int type;
  int want;  // PB_LOAD_...
};

struct ClaimRow {
  const char* what;
  std::vector<Program> together;   // started at once; wants compared as a set
  std::vector<bool> exchanges;     // the outcomes of the module's exchanges
  bool endClaimer;                 // `together` is one program, ended while it waits
  std::vector<Program> after;      // one by one, once the first exchange has ended
  int requests;
  std::vector<const char*> named;  // what the last "other account" line names
};

struct Run {
  const Program* program;
  Terminal* terminal;
  const Mql4Imports* im;
  HANDLE start;
  int got;
};

DWORD WINAPI Chart(void* p) {
  Run& run = *static_cast<Run*>(p);
  WaitForSingleObject(run.start, INFINITE);
  run.got = Kit(*run.im, *run.terminal).PbLoadParameters(run.program->account, run.program->type);
  return 0;
}

}  // namespace

int ClaimTable(int& round) {
  const ClaimRow rows[] = {
      {"two charts of different accounts start together: one claims, the other is told both",
       {{"111", 0, PB_LOAD_OK}, {"222", 0, PB_LOAD_OTHER_ACCOUNT}}, {true}, false, {}, 1,
       {"account 111 (type 0)", "account 222 (type 0)"}},
      {"the same account on two charts together: both loaded, one request",
       {{"111", 0, PB_LOAD_OK}, {"111", 0, PB_LOAD_OK}}, {true}, false, {}, 1, {}},
      {"the same account with two types together: one claims",
       {{"111", 0, PB_LOAD_OK}, {"111", 1, PB_LOAD_OTHER_ACCOUNT}}, {true}, false, {}, 1,
       {"account 111 (type 0)", "account 111 (type 1)"}},
      {"the claimer ended in its fetch: its account gets the result, another is told",
       {{"111", 0, 0}}, {true}, true,
       {{"111", 0, PB_LOAD_OK}, {"222", 0, PB_LOAD_OTHER_ACCOUNT}}, 1,
       {"account 111 (type 0)", "account 222 (type 0)"}},
      {"a failed fetch's claim stays: another account is told, the same one tries again",
       {{"111", 0, PB_LOAD_FAILED}}, {false, true}, false,
       {{"222", 0, PB_LOAD_OTHER_ACCOUNT}, {"111", 0, PB_LOAD_OK}}, 2,
       {"account 111 (type 0)", "account 222 (type 0)"}},
      {"the largest account and type: the claim holds them exactly",
       {{"999999999999999", 7, PB_LOAD_OK}}, {true}, false,
       {{"999999999999999", 6, PB_LOAD_OTHER_ACCOUNT}, {"999999999999998", 7,
                                                        PB_LOAD_OTHER_ACCOUNT}}, 1,
       {"account 999999999999999 (type 7)", "account 999999999999998 (type 7)"}},
  };
  int failures = 0;
  for (const ClaimRow& r : rows) {
    round++;
    StandIn module(r.exchanges, r.endClaimer);
    g_module = &module;
    Mql4Imports im;
    im.LoadParameters = Load;
    im.func101 = Get2;
    im.func102 = Get4;
    im.func103 = Get4;
    Terminal terminal;
    HANDLE start = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<Run> runs(r.together.size());
    std::vector<HANDLE> threads;
    for (std::size_t i = 0; i < runs.size(); i++) {
      runs[i] = {&r.together[i], &terminal, &im, start, -100};
      threads.push_back(CreateThread(nullptr, 0, Chart, &runs[i], 0, nullptr));
    }
    SetEvent(start);
    std::vector<int> got, want;
    if (r.endClaimer) {
      // The terminal ends the program that overstays (TerminateThread).
      module.WaitForCaller();
      TerminateThread(threads[0], 1);
      WaitForSingleObject(threads[0], INFINITE);
      module.Open();
    } else {
      WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE, INFINITE);
      for (std::size_t i = 0; i < runs.size(); i++) {
        got.push_back(runs[i].got);
        want.push_back(r.together[i].want);
      }
      std::sort(got.begin(), got.end());
      std::sort(want.begin(), want.end());
    }
    for (HANDLE t : threads) CloseHandle(t);
    CloseHandle(start);
    module.Idle();
    for (const Program& p : r.after) {
      got.push_back(Kit(im, terminal).PbLoadParameters(p.account, p.type));
      want.push_back(p.want);
    }
    std::string other;  // the last "other account" line
    for (const std::string& line : terminal.log())
      if (line.find("not used") != std::string::npos) other = line;
    std::string bad;
    if (got != want) bad += "results differ; ";
    if (module.requests() != r.requests)
      bad += std::to_string(module.requests()) + " requests, want " +
             std::to_string(r.requests) + "; ";
    for (const char* name : r.named)
      if (other.find(name) == std::string::npos) bad += std::string("not named: ") + name + "; ";
    if (!bad.empty()) {
      std::string results;
      for (int g : got) results += " " + std::to_string(g);
      std::printf("FAIL %d (%s): %sresults%s; said \"%s\"\n", round, r.what, bad.c_str(),
                  results.c_str(), other.c_str());
      failures++;
    } else {
      std::printf("ok   %d (%s)%s%s\n", round, r.what, other.empty() ? "" : ": ", other.c_str());
    }
    g_module = nullptr;
  }
  return failures;
}
