//+------------------------------------------------------------------+
//|                                            ParamBridgeDialog.mq5 |
//|  Sample script: a small dialog made with parambridge64.dll's     |
//|  window toolkit, run by MQL5 code, then a fetch for the account  |
//|  that was entered.                                               |
//+------------------------------------------------------------------+
#property script_show_inputs
#property description "A parambridge64.dll dialog: account, password, a check box, OK/Cancel; closes itself after a while."

#include <parambridge.mqh>

input int CloseAfterSeconds = 30;  // the dialog closes itself when nobody clicks

// The account type sent to the server: the terminal's own (demo 0,
// contest 1, real 2), never an input, so that a licence's type rules hold.
int AccountType() { return((int)AccountInfoInteger(ACCOUNT_TRADE_MODE)); }

// A served value, or a note while nothing has been fetched (-1.0).
string Shown(const double value)
  {
   if(value == -1.0)
      return("(not fetched yet)");
   return(DoubleToString(value, 8));
  }

// Whose values the DLL holds, for the dialog's first line.
string Holder()
  {
   double holder = PbParametersAccount();
   if(PbFunc101() == -1.0 && PbFunc102() == -1.0 && PbFunc103() == -1.0)
      return("Nothing fetched yet in this terminal session");
   if(holder == 0)
      return("Parameters of an account the kit did not record:");
   return("Parameters of account " + DoubleToString(holder, 0) + ":");
  }

// A last resort: when the script is stopped, PbRunDialog returns
// PB_DIALOG_STOPPED and OnStart finishes the window itself. The MQL5
// reference documents OnDeinit for experts and indicators; whether a
// script's OnDeinit is called in every case is not stated clearly enough
// to rely on.
void OnDeinit(const int reason)
  {
   PbDialogClose();
  }

void OnStart()
  {
   // With "Allow DLL imports" off the kit calls nothing: PbMakeWindow
   // gives 0 after the kit's own line saying where to tick it.
   // ACCOUNT_LOGIN is a long; 0 when nobody is logged in.
   long login = AccountInfoInteger(ACCOUNT_LOGIN);
   string account = login == 0 ? "" : IntegerToString(login);

   // 380 x 300 pixels, 60 px from the screen's right edge and 90 px above
   // the line 30 px over its bottom edge. No callback: MQL5 cannot pass one.
   long host = PbMakeWindow("parambridge - sample dialog", 60, 90, 380, 300, PB_PLACE_BOTTOM_RIGHT);
   if(host == 0)
     {
      Print("parambridge: the window could not be made");
      return;
     }
   // The creators take the height before the width.
   PbAddLabel(Holder(), 12, 10, 18, 350);
   PbAddLabel("func101 = " + Shown(PbFunc101()), 28, 32, 18, 320);
   PbAddLabel("func102 = " + Shown(PbFunc102()), 28, 52, 18, 320);
   PbAddLabel("func103 = " + Shown(PbFunc103()), 28, 72, 18, 320);
   PbAddLabel("Account:", 12, 106, 20, 80);
   long accountBox = PbAddTextBox(account, 100, 102, 24, 160, false, false);
   PbAddLabel("Password:", 12, 138, 20, 80);
   long passwordBox = PbAddTextBox("", 100, 134, 24, 160, true, true);
   long remember = PbAddCheckbox(false, "Remember this account", 100, 166, 20, 230);

   PbDialog dialog;
   PbDialogInit(dialog, host);
   long ok = PbDialogAddButton(dialog, "OK", 100, 198, 28, 80);
   long cancel = PbDialogAddButton(dialog, "Cancel", 190, 198, 28, 80);
   int left = CloseAfterSeconds < 1 ? 1 : CloseAfterSeconds;
   long status = PbAddLabel("Closes by itself in " + IntegerToString(left) + " s", 12, 238, 18, 350);
   PbDialogSetTimer(dialog, 1, 1);

   // The message loop runs here, in MQL5, until something needs a decision.
   string endedBy = "";
   while(endedBy == "")
     {
      int what = PbRunDialog(dialog);
      // OK and Enter go on only with an account of digits (it is sent as it
      // is), and not with 0: that is the login of a terminal not logged in.
      bool accepting = (what == PB_DIALOG_BUTTON && dialog.button == ok) || what == PB_DIALOG_ENTER;
      if(accepting)
        {
         string typed = PbGetText(accountBox);
         if(!PbAccountIsValid(typed))
           {
            PbSetText(status, "The account is 1 to " + IntegerToString(PB_ACCOUNT_MAX_DIGITS) + " digits");
            continue;
           }
         if(PbAccountIsZero(typed))
           {
            PbSetText(status, "Account 0 is no login: log in first");
            continue;
           }
        }
      switch(what)
        {
         case PB_DIALOG_TICK:
            left--;
            if(left <= 0)
               endedBy = "timer";
            else
               PbSetText(status, "Closes by itself in " + IntegerToString(left) + " s");
            break;
         case PB_DIALOG_BUTTON:
            if(dialog.button == ok)
               endedBy = "OK";
            else if(dialog.button == cancel)
               endedBy = "Cancel";
            break;
         case PB_DIALOG_ENTER:
            endedBy = "OK";
            break;
         case PB_DIALOG_ESCAPE:
            endedBy = "Cancel";
            break;
         case PB_DIALOG_CLOSED:
            endedBy = "closed";
            break;
         default:               // PB_DIALOG_STOPPED: the script is being removed
            endedBy = "stopped";
            break;
        }
     }
   UIKillTimer(1);

   // PbGetText zeroes and frees the DLL's copy of each text. The password
   // is read only when the visitor accepted, and wiped once used.
   string enteredAccount = "";
   string password = "";
   bool rememberIt = false;
   if(endedBy != "closed")
     {
      enteredAccount = PbGetText(accountBox);
      rememberIt = PbIsChecked(remember);
     }
   if(endedBy == "OK")
      PbGetSecret(passwordBox, password);
   PbFinish();
   PrintFormat("parambridge: dialog ended by %s; account \"%s\", a password of %d characters, remember %s",
               endedBy, enteredAccount, StringLen(password), rememberIt ? "yes" : "no");
   PbWipe(password);

   if(endedBy == "OK")
     {
      // Blocks the script's thread (its own) until the server answers.
      // The values are shown only when they are the typed account's.
      int result = PbLoadParameters(enteredAccount, AccountType());
      if(result == PB_LOAD_OK)
         PrintFormat("parambridge: account %s: func101=%.8g func102=%.8g func103=%.8g",
                     enteredAccount, PbFunc101(), PbFunc102(), PbFunc103());
      else if(result == PB_LOAD_FAILED)
         PrintFormat("parambridge: fetch for account %s failed: %s", enteredAccount, PbLastErrorDescription());
      // PB_LOAD_OTHER_ACCOUNT and PB_LOAD_REFUSED: PbLoadParameters has
      // said why; no values are shown.
     }
  }
