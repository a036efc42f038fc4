//+------------------------------------------------------------------+
//|                                           ParamBridgeSample.mq4  |
//|  Sample expert advisor: fetches its parameters from the product  |
//|  server through parambridge.dll and shows them on the chart.     |
//+------------------------------------------------------------------+
#property strict
#property description "Fetches func101..func103 for this account from the product server (parambridge.dll)."

#include <parambridge.mqh>

input int AccountType   = 0;   // account type sent to the server (its meaning is the server's)
input int RetrySeconds  = 60;  // how often to try again after a failed fetch

bool g_loaded = false;

// One fetch. Blocks this expert's thread until the server has answered
// (an expert advisor has a thread of its own; never do this in an indicator).
bool Fetch()
  {
   string account = IntegerToString(AccountNumber());
   if(PbLoadParameters(account, AccountType) == 1)
     {
      PrintFormat("parambridge: parameters loaded for account %s: func101=%.8g func102=%.8g func103=%.8g",
                  account, PbFunc101(), PbFunc102(), PbFunc103());
      return(true);
     }
   // The numeric code (_GetLastErrorCode@0) cannot be imported by MQL4;
   // the description says what went wrong.
   PrintFormat("parambridge: fetch for account %s failed: %s (next try in %d s)",
               account, PbLastErrorDescription(), RetrySeconds);
   return(false);
  }

int OnInit()
  {
   if(!TerminalInfoInteger(TERMINAL_DLLS_ALLOWED) || !MQLInfoInteger(MQL_DLLS_ALLOWED))
     {
      Alert("ParamBridgeSample needs \"Allow DLL imports\".");
      return(INIT_FAILED);
     }
   g_loaded = Fetch();
   if(!g_loaded)
      EventSetTimer(RetrySeconds < 5 ? 5 : RetrySeconds);
   return(INIT_SUCCEEDED);
  }

void OnDeinit(const int reason)
  {
   EventKillTimer();
   Comment("");
  }

// Until a fetch succeeds; once it has, the DLL answers every later call
// with 1 at once and the values stay for as long as the terminal runs.
void OnTimer()
  {
   if(g_loaded)
      return;
   g_loaded = Fetch();
   if(g_loaded)
      EventKillTimer();
  }

void OnTick()
  {
   if(!g_loaded)
     {
      Comment("parambridge: waiting for parameters: ", PbLastErrorDescription());
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
