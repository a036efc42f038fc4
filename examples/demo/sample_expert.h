// The sample expert advisor (examples/MQL4/Experts/ParamBridgeSample.mq4,
// and the .mq5, which differs only in the terminal's functions it calls)
// written again in C++ over the kit's mirror (mql4_kit.h): its first fetch
// with back-off, its refresh every PB_REFRESH_MINUTES, the grace period and
// what it shows on the chart. The terminal's events become calls: OnInit,
// OnTimer (the one-second timer; a table calls it when its clock has
// moved), OnTick. Whether it trades is what OnTick returns.
#pragma once

#include <string>

#include "mql4_kit.h"

class SampleExpert {
 public:
  // The sample's states (its STATE_... #defines).
  enum State { kWaiting, kLoaded, kOther, kRefused, kDllsOff, kDenied, kExpired };

  SampleExpert(const Kit& kit, Terminal& terminal) : kit_(kit), terminal_(terminal) {}

  void OnInit();
  void OnDeinit();
  // Nothing once the expert has killed its timer.
  void OnTimer();
  // True when the tick traded on the values (the trading logic ran).
  bool OnTick();

  State state() const { return state_; }
  bool timer() const { return timer_; }

  // The sample's inputs.
  int firstRetry = 15;
  int longestRetry = 600;

 private:
  int AccountType() const { return terminal_.tradeMode; }
  std::string Account() const { return std::to_string(terminal_.login); }
  int NextWait(int ceiling);
  void TryFetch();
  void TryRefresh();
  void CheckGrace();
  std::string FailureWords() const;
  void ShowValues(double f101, double f102, double f103);
  void ShowState();
  void Print(const std::string& line) { terminal_.Print(line); }

  const Kit& kit_;
  Terminal& terminal_;
  State state_ = kWaiting;
  bool timer_ = false;
  int wait_ = 0;
  datetime nextTry_ = 0;
  datetime nextRefresh_ = 0;
  std::string failure_;
};
