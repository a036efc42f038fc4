//+------------------------------------------------------------------+
//|                                           ParamBridgeSample.mq5  |
//|  Sample expert advisor: fetches its parameters from the product  |
//|  server through parambridge64.dll and shows them on the chart.   |
//+------------------------------------------------------------------+
#property description "Fetches func101..func103 for this account from the product server (parambridge64.dll)."

#include <parambridge.mqh>

input int AccountType     = 0;    // account type sent to the server (its meaning is the server's)
input int FirstRetry      = 15;   // seconds before the first retry after a failed fetch
input int LongestRetry    = 600;  // the wait doubles after each failure up to this many seconds

// Where this expert stands. Nothing here fetches from OnInit, nor from
// OnTick on a chart: LoadParameters blocks until the server answers, so
// OnTimer calls it. The strategy tester sends no timer events; there the
// first OnTick fetches (blocking holds up only the test).
#define STATE_WAITING  0   // not fetched yet (or the last fetch failed)
#define STATE_LOADED   1   // the DLL holds this account's parameters
#define STATE_OTHER    2   // the DLL holds another account's parameters: never trade on them
#define STATE_REFUSED  3   // the kit refused (see the Experts log)
#define STATE_DLLS_OFF 4   // "Allow DLL imports" is off: the kit called nothing
#define STATE_DENIED   5   // the server refused: trying again does not help until the vendor acts

int      g_state = STATE_WAITING;
int      g_wait = 0;          // seconds to the next try after a failure
datetime g_nextTry = 0;       // no fetch before this time
string   g_failure = "";      // the last failure's description ("": none yet)

// The logged-in account: ACCOUNT_LOGIN is a long, 0 before the login.
long Login() { return(AccountInfoInteger(ACCOUNT_LOGIN)); }

int OnInit()
  {
   // Also after an account change (the terminal initialises the expert
   // again, REASON_ACCOUNT): start over, the first OnTimer decides.
   g_state = STATE_WAITING;
   g_wait = 0;
   g_nextTry = 0;
   g_failure = "";
   // "Allow DLL imports" off: the kit calls nothing and says so
   // (PB_LOAD_DLLS_OFF); the chart tells why this expert does not trade.
   // A one-second timer: it only looks whether a fetch is due, so OnInit
   // returns at once.
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

// One fetch, when it is due and the terminal is logged in. Blocks this
// expert's thread (its own: every expert has one) until the server has
// answered.
void OnTimer()
  {
   TryFetch();
   ShowState();
  }

void TryFetch()
  {
   if(g_state != STATE_WAITING || TimeLocal() < g_nextTry)
      return;
   // Right after start the terminal may not be connected or logged in yet.
   if(!TerminalInfoInteger(TERMINAL_CONNECTED) || Login() == 0)
      return;
   string account = IntegerToString(Login());
   int result = PbLoadParameters(account, AccountType);
   if(result == PB_LOAD_OK)
     {
      g_state = STATE_LOADED;
      EventKillTimer();
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
   // numeric code (_GetLastErrorCode@0) cannot be imported by MQL5; the
   // description says what went wrong.
   int first = FirstRetry < 5 ? 5 : FirstRetry;
   int longest = LongestRetry < first ? first : LongestRetry;
   g_wait = g_wait == 0 ? first : (int)MathMin(g_wait * 2, longest);
   g_nextTry = TimeLocal() + g_wait;
   PrintFormat("parambridge: fetch for account %s failed: %s (next try in %d s)",
               account, g_failure, g_wait);
  }

// Why this expert is not trading, on the chart: what happened and whether
// waiting can help. Nothing once the parameters are loaded (OnTick shows
// them).
void ShowState()
  {
   if(g_state == STATE_LOADED)
      return;
   if(g_state == STATE_OTHER)
      Comment("parambridge: the DLL holds another account's parameters; restart the terminal. Not trading.");
   else if(g_state == STATE_DENIED)
      Comment("parambridge: refused by the server: " + (g_failure == "" ? "(no reason given)" : g_failure) +
              "\nNot trading. Trying again does not help: ask the vendor's support desk, then attach the expert again.");
   else if(g_state == STATE_DLLS_OFF)
      Comment("parambridge: DLL imports are off. Not trading.\nTick \"Allow DLL imports\" (Tools > Options > Expert Advisors, and the expert's Dependencies tab), then attach the expert again.");
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
   if(MQLInfoInteger(MQL_TESTER) && g_state == STATE_WAITING)
      TryFetch();   // the tester: no OnTimer there
   if(g_state != STATE_LOADED)
     {
      ShowState();
      return;
     }
   // The terminal initialises the expert again after an account change,
   // but check anyway: the values belong to the account they were
   // fetched for.
   if(PbParametersAccount() != (double)Login())
     {
      g_state = STATE_OTHER;
      string line = "parambridge: the parameters belong to account " + DoubleToString(PbParametersAccount(), 0) +
                    ", not to account " + IntegerToString(Login()) + "; not trading.";
      Print(line);
      Alert(line);
      return;
     }
   // The getters read the DLL's store: cheap enough for every tick.
   double f101 = PbFunc101();
   double f102 = PbFunc102();
   double f103 = PbFunc103();
   Comment(StringFormat("parambridge parameters\nfunc101 = %.8g\nfunc102 = %.8g\nfunc103 = %.8g",
                        f101, f102, f103));
   // ... the trading logic would use f101..f103 here.
  }
