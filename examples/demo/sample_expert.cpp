// The sample expert in C++; see sample_expert.h. Each function follows the
// .mq4's function of the same name line for line.
#include "sample_expert.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

// StringFormat / PrintFormat.
std::string Format(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

void SampleExpert::OnInit() {
  state_ = kWaiting;
  wait_ = 0;
  nextTry_ = 0;
  nextRefresh_ = 0;
  failure_.clear();
  timer_ = true;  // EventSetTimer(1)
}

void SampleExpert::OnDeinit() {
  timer_ = false;
  terminal_.Comment("");
}

void SampleExpert::OnTimer() {
  if (!timer_) return;
  TryFetch();
  TryRefresh();
  CheckGrace();
  ShowState();
}

int SampleExpert::NextWait(int ceiling) {
  const int first = firstRetry < 5 ? 5 : firstRetry;
  int longest = longestRetry < first ? first : longestRetry;
  if (longest > ceiling) longest = ceiling;
  wait_ = wait_ == 0 ? first : std::min(wait_ * 2, longest);
  return wait_;
}

void SampleExpert::TryFetch() {
  if (state_ != kWaiting || terminal_.now < nextTry_) return;
  if (!terminal_.connected || terminal_.login == 0) return;
  const std::string account = Account();
  const int result = kit_.PbLoadParameters(account, AccountType());
  if (result == PB_LOAD_OK) {
    state_ = kLoaded;
    wait_ = 0;
    failure_.clear();
    nextRefresh_ = terminal_.now + PB_REFRESH_MINUTES * 60;
    Print(Format("parambridge: parameters loaded for account %s: func101=%.8g func102=%.8g func103=%.8g",
                 account.c_str(), kit_.PbFunc101(), kit_.PbFunc102(), kit_.PbFunc103()));
    return;
  }
  if (result != PB_LOAD_FAILED) {
    state_ = result == PB_LOAD_OTHER_ACCOUNT ? kOther
             : result == PB_LOAD_DLLS_OFF    ? kDllsOff
                                             : kRefused;
    timer_ = false;
    return;
  }
  failure_ = kit_.PbLastErrorDescription();
  if (Kit::PbFailureKind(failure_) == PB_FAILURE_SERVER) {
    state_ = kDenied;
    timer_ = false;
    Print(Format("parambridge: fetch for account %s refused by the server: %s; not trying again (ask the "
                 "vendor, then attach the expert again)",
                 account.c_str(), failure_.c_str()));
    return;
  }
  nextTry_ = terminal_.now + NextWait(longestRetry);
  Print(Format("parambridge: fetch for account %s failed: %s (next try in %d s)", account.c_str(),
               failure_.c_str(), wait_));
}

void SampleExpert::TryRefresh() {
  if ((state_ != kLoaded && state_ != kExpired) || terminal_.now < nextRefresh_) return;
  if (!terminal_.connected || terminal_.login == 0) return;
  const std::string account = Account();
  const int result = kit_.PbRefreshParameters(account, AccountType());
  if (result == PB_LOAD_OK) {
    state_ = kLoaded;
    wait_ = 0;
    failure_.clear();
    nextRefresh_ = terminal_.now + PB_REFRESH_MINUTES * 60;
    Print(Format("parambridge: parameters confirmed for account %s: func101=%.8g func102=%.8g func103=%.8g",
                 account.c_str(), kit_.PbFunc101(), kit_.PbFunc102(), kit_.PbFunc103()));
    return;
  }
  if (result == PB_REFRESH_KEPT) {
    failure_ = kit_.PbLastErrorDescription();
    nextRefresh_ = terminal_.now + NextWait(PB_REFRESH_MINUTES * 60);
    Print(Format("parambridge: refresh for account %s failed: %s; the parameters are unconfirmed since "
                 "%s, trading on them until %s (next try in %d s)",
                 account.c_str(), failure_.c_str(), TimeToString(kit_.PbUnconfirmedSince()).c_str(),
                 TimeToString(kit_.PbGraceEnds()).c_str(), wait_));
    return;
  }
  if (result == PB_REFRESH_REVOKED ||
      (result == PB_LOAD_FAILED &&
       Kit::PbFailureKind(kit_.PbLastErrorDescription()) == PB_FAILURE_SERVER)) {
    failure_ = kit_.PbLastErrorDescription();
    state_ = kDenied;
    timer_ = false;
    Print(Format("parambridge: refresh for account %s refused by the server: %s; not trading (ask the "
                 "vendor, then attach the expert again)",
                 account.c_str(), failure_.c_str()));
    return;
  }
  if (result == PB_LOAD_FAILED) {
    state_ = kWaiting;
    failure_ = kit_.PbLastErrorDescription();
    nextTry_ = terminal_.now + NextWait(longestRetry);
    return;
  }
  state_ = result == PB_LOAD_OTHER_ACCOUNT ? kOther
           : result == PB_LOAD_DLLS_OFF    ? kDllsOff
                                           : kRefused;
  timer_ = false;
}

void SampleExpert::CheckGrace() {
  if (state_ != kLoaded || !kit_.PbGraceOver()) return;
  state_ = kExpired;
  Print(Format("parambridge: the parameters of account %s are unconfirmed since %s, longer than the "
               "%d-hour grace period; not trading until the server confirms them",
               Account().c_str(), TimeToString(kit_.PbUnconfirmedSince()).c_str(), PB_GRACE_HOURS));
}

std::string SampleExpert::FailureWords() const {
  const int kind = Kit::PbFailureKind(failure_);
  if (kind == PB_FAILURE_NO_CONNECTION) return "could not connect to the server";
  if (kind == PB_FAILURE_UNREADABLE) return "the server's reply could not be read";
  return "the server answered: " + (failure_.empty() ? std::string("(no reason given)") : failure_);
}

void SampleExpert::ShowValues(double f101, double f102, double f103) {
  const std::string values =
      Format("parambridge parameters\nfunc101 = %.8g\nfunc102 = %.8g\nfunc103 = %.8g", f101, f102, f103);
  if (kit_.PbUnconfirmedSince() == 0) {
    terminal_.Comment(values);
  } else {
    terminal_.Comment(values + Format("\nparambridge: not confirmed since %s (%s); trading on these "
                                      "values until %s.",
                                      TimeToString(kit_.PbUnconfirmedSince()).c_str(),
                                      FailureWords().c_str(),
                                      TimeToString(kit_.PbGraceEnds()).c_str()));
  }
}

void SampleExpert::ShowState() {
  if (state_ == kLoaded) {
    ShowValues(kit_.PbFunc101(), kit_.PbFunc102(), kit_.PbFunc103());
    return;
  }
  if (state_ == kExpired) {
    terminal_.Comment(Format("parambridge: the parameters are unconfirmed since %s (%s), longer than "
                             "the %d-hour grace period. Not trading.\nThe expert goes on asking the "
                             "server; if this lasts, tell the vendor's support desk.",
                             TimeToString(kit_.PbUnconfirmedSince()).c_str(),
                             FailureWords().c_str(), PB_GRACE_HOURS));
  } else if (state_ == kOther) {
    terminal_.Comment("parambridge: the DLL holds another account's parameters; restart the terminal. "
                      "Not trading.");
  } else if (state_ == kDenied) {
    terminal_.Comment("parambridge: refused by the server: " +
                      (failure_.empty() ? std::string("(no reason given)") : failure_) +
                      "\nNot trading. Trying again does not help: ask the vendor's support desk, "
                      "then attach the expert again.");
  } else if (state_ == kDllsOff) {
    terminal_.Comment("parambridge: DLL imports are off. Not trading.\nTick \"Allow DLL imports\" "
                      "(Tools > Options > Expert Advisors, and the expert's Common tab), then attach "
                      "the expert again.");
  } else if (state_ == kRefused) {
    terminal_.Comment("parambridge: the kit refused to fetch; the Experts log says why. Not trading.");
  } else if (failure_.empty()) {
    terminal_.Comment("parambridge: waiting for parameters");
  } else if (Kit::PbFailureKind(failure_) == PB_FAILURE_NO_CONNECTION) {
    terminal_.Comment(Format("parambridge: could not connect to the server; trying again in %d s. Not "
                             "trading yet.\nCheck the internet connection and the firewall; if this "
                             "lasts, tell the vendor's support desk.",
                             static_cast<int>(std::max<datetime>(0, nextTry_ - terminal_.now))));
  } else {
    terminal_.Comment(Format("parambridge: the server's reply could not be read; trying again in %d s. "
                             "Not trading yet.\nIf this lasts, tell the vendor's support desk.",
                             static_cast<int>(std::max<datetime>(0, nextTry_ - terminal_.now))));
  }
}

bool SampleExpert::OnTick() {
  CheckGrace();
  if (state_ == kLoaded && !kit_.PbLooksLoaded()) {
    state_ = kWaiting;
    nextTry_ = 0;
  }
  if (state_ != kLoaded) {
    ShowState();
    return false;
  }
  if (kit_.PbParametersAccount() != static_cast<double>(terminal_.login)) {
    state_ = kOther;
    Print(Format("parambridge: the parameters belong to account %.0f, not to account %lld; not trading.",
                 kit_.PbParametersAccount(), terminal_.login));
    return false;
  }
  const double f101 = kit_.PbFunc101();
  const double f102 = kit_.PbFunc102();
  const double f103 = kit_.PbFunc103();
  ShowValues(f101, f102, f103);
  return true;  // the trading logic would use f101..f103 here
}
