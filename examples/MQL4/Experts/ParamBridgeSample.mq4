//+------------------------------------------------------------------+
//|                                           ParamBridgeSample.mq4  |
//|  Sample expert advisor: fetches its parameters from the product  |
//|  server through parambridge.dll and shows them on the chart.     |
//+------------------------------------------------------------------+
#property strict
#property description "Fetches func101..func103 for this account from the product server (parambridge.dll)."

// The vendor's choices, compiled into the program rather than inputs (a
// customer could set an input to 0): how often the running expert asks the
// server again, and how long it trades on the last good values while the
// server cannot confirm them. parambridge.mqh takes 60 and 72 without them.
#define PB_REFRESH_MINUTES 60
#define PB_GRACE_HOURS     72
#include <parambridge.mqh>

input int FirstRetry      = 15;   // seconds before the first retry after a failed fetch or refresh
input int LongestRetry    = 600;  // the wait doubles after each failure up to this many seconds

// Where this expert stands. Nothing here fetches from OnInit, nor from
// OnTick on a chart: LoadParameters blocks until the server answers, so
// OnTimer calls it. The strategy tester sends no timer events; there the
// first OnTick fetches (blocking holds up only the test).
// Once loaded, OnTimer refreshes every PB_REFRESH_MINUTES: a refusal
// stops the expert at once, other failures keep the values for
// PB_GRACE_HOURS (parambridge.mqh, rule 8).
#define STATE_WAITING  0   // not fetched yet (or the last fetch failed)
#define STATE_LOADED   1   // trading: the DLL holds this account's parameters, confirmed or within the grace period
#define STATE_OTHER    2   // the DLL holds another account's parameters: never trade on them
#define STATE_REFUSED  3   // the kit refused (see the Experts log)
#define STATE_DLLS_OFF 4   // "Allow DLL imports" is off: the kit called nothing
#define STATE_DENIED   5   // the server refused (first fetch or refresh): trying again does not help until the vendor acts
#define STATE_EXPIRED  6   // unconfirmed for PB_GRACE_HOURS: not trading; the refreshes go on

int      g_state = STATE_WAITING;
int      g_wait = 0;          // seconds to the next try after a failure
datetime g_nextTry = 0;       // no fetch before this time
datetime g_nextRefresh = 0;   // no refresh before this time
string   g_failure = "";      // the last failure's description ("": none since the last success)

// The account type the server judges: the terminal's own (demo 0,
// contest 1, real 2), never a customer's input.
int AccountType() { return((int)AccountInfoInteger(ACCOUNT_TRADE_MODE)); }

int OnInit()
  {
   // Also after an account change (the terminal initialises the expert
   // again): start over, the first OnTimer decides.
   g_state = STATE_WAITING;
   g_wait = 0;
   g_nextTry = 0;
   g_nextRefresh = 0;
   g_failure = "";
   // "Allow DLL imports" off: the kit calls nothing and says so
   // (PB_LOAD_DLLS_OFF); the chart tells why this expert does not trade.
   // A one-second timer: it only looks whether a fetch or a refresh is
   // due, so OnInit returns at once.
   if(!EventSetTimer(1))
     {
      Print("parambridge: no timer for this expert: ", GetLastError());
      return(INIT_FAILED);
     }
   return(INIT_SUCCEEDED);
  }

void OnDeinit(const int reason)
  {
   EventKillTimer();
   PbDialogClose();   // nothing to do here: this expert makes no window
   Comment("");
  }

// One fetch or refresh, when it is due and the terminal is logged in.
// Blocks this expert's thread until the server has answered (a refresh:
// 30 s at most).
void OnTimer()
  {
   TryFetch();
   TryRefresh();
   CheckGrace();
   ShowState();
  }

// The wait before the next try after a failure: FirstRetry, doubled each
// time up to LongestRetry (and, for a refresh, up to PB_REFRESH_MINUTES).
int NextWait(const int ceiling)
  {
   int first = FirstRetry < 5 ? 5 : FirstRetry;
   int longest = LongestRetry < first ? first : LongestRetry;
   if(longest > ceiling)
      longest = ceiling;
   g_wait = g_wait == 0 ? first : (int)MathMin(g_wait * 2, longest);
   return(g_wait);
  }

void TryFetch()
  {
   if(g_state != STATE_WAITING || TimeLocal() < g_nextTry)
      return;
   // Right after start the terminal may not be connected or logged in yet.
   if(!IsConnected() || AccountNumber() == 0)
      return;
   string account = IntegerToString(AccountNumber());
   int result = PbLoadParameters(account, AccountType());
   if(result == PB_LOAD_OK)
     {
      g_state = STATE_LOADED;
      g_wait = 0;
      g_failure = "";
      g_nextRefresh = TimeLocal() + PB_REFRESH_MINUTES * 60;
      PrintFormat("parambridge: parameters loaded for account %s: func101=%.8g func102=%.8g func103=%.8g",
                  account, PbFunc101(), PbFunc102(), PbFunc103());
      return;
     }
   if(result != PB_LOAD_FAILED)
     {
      // PB_LOAD_OTHER_ACCOUNT, PB_LOAD_REFUSED, PB_LOAD_DLLS_OFF: the kit
      // has said why (Alert or Print); trying again cannot help.
      g_state = result == PB_LOAD_OTHER_ACCOUNT ? STATE_OTHER :
                (result == PB_LOAD_DLLS_OFF ? STATE_DLLS_OFF : STATE_REFUSED);
      EventKillTimer();
      return;
     }
   g_failure = PbLastErrorDescription();
   if(PbFailureKind(g_failure) == PB_FAILURE_SERVER)
     {
      // The server's own refusal (unknown account, expired licence, ...):
      // the same request gets the same answer until the vendor acts.
      g_state = STATE_DENIED;
      EventKillTimer();
      PrintFormat("parambridge: fetch for account %s refused by the server: %s; not trying again (ask the vendor, then attach the expert again)",
                  account, g_failure);
      return;
     }
   // A failure: try again later, waiting twice as long each time. The
   // numeric code (_GetLastErrorCode@0) cannot be imported by MQL4; the
   // description says what went wrong.
   g_nextTry = TimeLocal() + NextWait(LongestRetry);
   PrintFormat("parambridge: fetch for account %s failed: %s (next try in %d s)",
               account, g_failure, g_wait);
  }

// Asks the server again every PB_REFRESH_MINUTES while loaded, and past the
// grace period (to trade again once it confirms). The strategy tester
// replays history: no refresh there.
void TryRefresh()
  {
   if((g_state != STATE_LOADED && g_state != STATE_EXPIRED) || TimeLocal() < g_nextRefresh || IsTesting())
      return;
   if(!IsConnected() || AccountNumber() == 0)
      return;
   string account = IntegerToString(AccountNumber());
   int result = PbRefreshParameters(account, AccountType());
   if(result == PB_LOAD_OK)
     {
      // Confirmed, with the values of this reply (changed or not).
      g_state = STATE_LOADED;
      g_wait = 0;
      g_failure = "";
      g_nextRefresh = TimeLocal() + PB_REFRESH_MINUTES * 60;
      PrintFormat("parambridge: parameters confirmed for account %s: func101=%.8g func102=%.8g func103=%.8g",
                  account, PbFunc101(), PbFunc102(), PbFunc103());
      return;
     }
   if(result == PB_REFRESH_KEPT)
     {
      // No decision: the values stay, counted against the grace period.
      g_failure = PbLastErrorDescription();
      g_nextRefresh = TimeLocal() + NextWait(PB_REFRESH_MINUTES * 60);
      PrintFormat("parambridge: refresh for account %s failed: %s; the parameters are unconfirmed since %s, trading on them until %s (next try in %d s)",
                  account, g_failure, TimeToString(PbUnconfirmedSince(), TIME_DATE | TIME_MINUTES),
                  TimeToString(PbGraceEnds(), TIME_DATE | TIME_MINUTES), g_wait);
      return;
     }
   if(result == PB_REFRESH_REVOKED ||
      (result == PB_LOAD_FAILED && PbFailureKind(PbLastErrorDescription()) == PB_FAILURE_SERVER))
     {
      // The server refused this account (revoked, expired, ...); the DLL
      // holds no parameters any more. Stop at once.
      g_failure = PbLastErrorDescription();
      g_state = STATE_DENIED;
      EventKillTimer();
      PrintFormat("parambridge: refresh for account %s refused by the server: %s; not trading (ask the vendor, then attach the expert again)",
                  account, g_failure);
      return;
     }
   if(result == PB_LOAD_FAILED)
     {
      // The DLL held no parameters (another program's refresh was refused
      // meanwhile, or it was unloaded): start over as at the first fetch.
      g_state = STATE_WAITING;
      g_failure = PbLastErrorDescription();
      g_nextTry = TimeLocal() + NextWait(LongestRetry);
      return;
     }
   // The kit's door: another account's claim, a refusal, DLL imports off.
   g_state = result == PB_LOAD_OTHER_ACCOUNT ? STATE_OTHER :
             (result == PB_LOAD_DLLS_OFF ? STATE_DLLS_OFF : STATE_REFUSED);
   EventKillTimer();
  }

// Stops trading once the values have been unconfirmed for PB_GRACE_HOURS.
void CheckGrace()
  {
   if(g_state != STATE_LOADED || !PbGraceOver())
      return;
   g_state = STATE_EXPIRED;
   PrintFormat("parambridge: the parameters of account %d are unconfirmed since %s, longer than the %d-hour grace period; not trading until the server confirms them",
               AccountNumber(), TimeToString(PbUnconfirmedSince(), TIME_DATE | TIME_MINUTES), PB_GRACE_HOURS);
  }

// The values on the chart, and since when they are unconfirmed.
void ShowValues(const double f101, const double f102, const double f103)
  {
   string values = StringFormat("parambridge parameters\nfunc101 = %.8g\nfunc102 = %.8g\nfunc103 = %.8g",
                                f101, f102, f103);
   if(PbUnconfirmedSince() == 0)
      Comment(values);
   else
      Comment(values + StringFormat("\nparambridge: not confirmed since %s (%s); trading on these values until %s.",
                                    TimeToString(PbUnconfirmedSince(), TIME_DATE | TIME_MINUTES), FailureWords(),
                                    TimeToString(PbGraceEnds(), TIME_DATE | TIME_MINUTES)));
  }

// What the last failure was, in words for the chart.
string FailureWords()
  {
   int kind = PbFailureKind(g_failure);
   if(kind == PB_FAILURE_NO_CONNECTION)
      return("could not connect to the server");
   if(kind == PB_FAILURE_UNREADABLE)
      return("the server's reply could not be read");
   return("the server answered: " + (g_failure == "" ? "(no reason given)" : g_failure));
  }

// On the chart: the values while trading (and since when they are
// unconfirmed, within the grace period); otherwise why this expert is not
// trading and whether waiting can help.
void ShowState()
  {
   if(g_state == STATE_LOADED)
     {
      ShowValues(PbFunc101(), PbFunc102(), PbFunc103());
      return;
     }
   if(g_state == STATE_EXPIRED)
      Comment(StringFormat("parambridge: the parameters are unconfirmed since %s (%s), longer than the %d-hour grace period. Not trading.\nThe expert goes on asking the server; if this lasts, tell the vendor's support desk.",
                           TimeToString(PbUnconfirmedSince(), TIME_DATE | TIME_MINUTES), FailureWords(), PB_GRACE_HOURS));
   else if(g_state == STATE_OTHER)
      Comment("parambridge: the DLL holds another account's parameters; restart the terminal. Not trading.");
   else if(g_state == STATE_DENIED)
      Comment("parambridge: refused by the server: " + (g_failure == "" ? "(no reason given)" : g_failure) +
              "\nNot trading. Trying again does not help: ask the vendor's support desk, then attach the expert again.");
   else if(g_state == STATE_DLLS_OFF)
      Comment("parambridge: DLL imports are off. Not trading.\nTick \"Allow DLL imports\" (Tools > Options > Expert Advisors, and the expert's Common tab), then attach the expert again.");
   else if(g_state == STATE_REFUSED)
      Comment("parambridge: the kit refused to fetch; the Experts log says why. Not trading.");
   else if(g_failure == "")
      Comment("parambridge: waiting for parameters");
   else if(PbFailureKind(g_failure) == PB_FAILURE_NO_CONNECTION)
      Comment(StringFormat("parambridge: could not connect to the server; trying again in %d s. Not trading yet.\nCheck the internet connection and the firewall; if this lasts, tell the vendor's support desk.",
                           (int)MathMax(0, g_nextTry - TimeLocal())));
   else
      Comment(StringFormat("parambridge: the server's reply could not be read; trying again in %d s. Not trading yet.\nIf this lasts, tell the vendor's support desk.",
                           (int)MathMax(0, g_nextTry - TimeLocal())));
  }

void OnTick()
  {
   if(IsTesting() && g_state == STATE_WAITING)
      TryFetch();   // the tester: no OnTimer there
   CheckGrace();
   if(g_state == STATE_LOADED && !PbLooksLoaded())
     {
      // Another program's refresh was refused: the DLL holds no
      // parameters. Ask at the next timer event, as at the first fetch.
      g_state = STATE_WAITING;
      g_nextTry = 0;
     }
   if(g_state != STATE_LOADED)
     {
      ShowState();
      return;
     }
   // The terminal initialises the expert again after an account change,
   // but check anyway: the values belong to the account they were
   // fetched for.
   if(PbParametersAccount() != (double)AccountNumber())
     {
      g_state = STATE_OTHER;
      string line = StringFormat("parambridge: the parameters belong to account %.0f, not to account %d; not trading.",
                                 PbParametersAccount(), AccountNumber());
      Print(line);
      Alert(line);
      return;
     }
   // The getters read the DLL's store: cheap enough for every tick. A
   // refresh replaces all three at once.
   double f101 = PbFunc101();
   double f102 = PbFunc102();
   double f103 = PbFunc103();
   ShowValues(f101, f102, f103);
   // ... the trading logic would use f101..f103 here.
  }
