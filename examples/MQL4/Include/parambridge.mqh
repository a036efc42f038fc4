//+------------------------------------------------------------------+
//|                                                parambridge.mqh   |
//|  Imports of parambridge.dll for MQL4 (terminal build 600 or      |
//|  later, 32-bit), and small wrappers that hide the conversions.   |
//+------------------------------------------------------------------+
//
// Install: parambridge.dll into <data folder>\MQL4\Libraries, this file
// into <data folder>\MQL4\Include, and tick "Allow DLL imports" (Tools >
// Options > Expert Advisors, and on the program's Common tab).
//
// WHAT CROSSES THE BOUNDARY
//   * MQL4 strings are UTF-16; the DLL takes and returns 8-bit text. Every
//     text argument is therefore a uchar array filled by StringToCharArray
//     (which appends the terminating NUL), and the Pb... wrappers below do
//     that for you. Characters outside the system code page arrive as '?'.
//   * Window handles are plain ints. bool arguments take a 4-byte slot of
//     which the DLL tests the low byte.
//   * func101 to func103 remove 8, 16 and 16 bytes of arguments that they
//     never read: they are declared with two and four int words and the
//     wrappers pass zeros. Do not "tidy" these declarations.
//   * Calling conventions. MQL4's documentation asks imported DLL functions
//     to use __stdcall (the callee removes its arguments). The parameter
//     service's exports do. The toolkit's exports (UI...) are cdecl, a fixed
//     part of the DLL's interface: after each of them 4 to 28 bytes of
//     arguments are left for the caller to remove. That relies on the
//     terminal putting its own stack pointer back after a DLL call, which is
//     widely relied upon but not documented, and which nobody could check
//     where this kit was made (no terminal runs there). Try the sample
//     script on your terminal before you rely on the toolkit.
//   * UIGetText returns a raw address of 8-bit text, so it is declared as
//     returning int. Pure MQL4 cannot read memory at an address; PbGetText
//     copies the text out with lstrlenA and lstrcpynA from kernel32.dll,
//     which every Windows process has loaded (same "Allow DLL imports"
//     permission, no extra file). The DLL never frees that text: each call
//     keeps up to 255 bytes until the terminal exits, so read a control once,
//     after the dialog, not on every tick.
//
// WHAT MQL4 CANNOT IMPORT
//   * _GetLastErrorCode@0: the export's name carries '@', which is not
//     allowed in an MQL4 identifier, and #import has no clause that gives
//     an import another name; the terminal looks the export up by the
//     declared name. So the numeric code of a failed fetch is not
//     available to MQL4 programs. What is: LoadParameters' result (1 loaded,
//     0 failed) and the description (PbLastErrorDescription): "Could not
//     connect to server." (no answer or an empty one), "Internal dll error"
//     (an unreadable reply or a status of 100 or less), or the server's own
//     text for its statuses above 100 (possibly empty).
//   * GetParameter: takes a C++ std::string object by value. Read the
//     served values through func101 to func103.
//   * _DllMain@12, _DllWndProc@16, _TimerProc@16: for the loader and the
//     window manager, not for callers.
//
// THE WINDOW TOOLKIT FROM MQL4
//   MQL4 cannot hand a function to a DLL, so UIMakeWindow's callback is
//   declared int and always 0. With no callback:
//   * UIRun returns only when the window is destroyed (or a quit message
//     arrives). The window has no close box; nothing in MQL4 code runs while
//     UIRun waits. Do not call UIRun from MQL4.
//   * Button clicks (WM_COMMAND) reach no MQL4 code; timer ticks started with
//     UIAddTimer reach no MQL4 code through the DLL either.
//   What does work: PbRunDialog below runs the message loop in MQL4 itself
//   with user32.dll's PeekMessageA / IsDialogMessageA / TranslateMessage /
//   DispatchMessageA. It looks at each message before it is dispatched, so
//   it sees a mouse release on a button, Enter, Escape, and WM_TIMER ticks
//   of a UIAddTimer timer, and returns to your code for each of them.
//   Run it only in an expert advisor or a script (they have threads of their
//   own), never in an indicator: it blocks its thread while the window is up.
//
// THREADS AND BLOCKING
//   LoadParameters blocks the calling thread until the server has answered,
//   up to the transport's 15-minute time-outs. Call it from an expert
//   advisor or a script, never from an indicator (indicators run on the
//   terminal's interface thread). One caller at a time per terminal
//   process: the DLL takes no locks.
//
// The terminal's own WinUser32.mqh declares some of the same user32
// functions. If you include both and the compiler objects, delete the
// duplicate lines from one of them.

#ifndef PARAMBRIDGE_MQH
#define PARAMBRIDGE_MQH

// The Win32 MSG record, as PeekMessageA fills it (28 bytes).
struct PbMsg
  {
   int               hwnd;
   uint              message;
   int               wParam;
   int               lParam;
   uint              time;
   int               ptX;
   int               ptY;
  };

#import "parambridge.dll"
   // Parameter service (stdcall).
   double func101(int unused1, int unused2);
   double func102(int unused1, int unused2, int unused3, int unused4);
   double func103(int unused1, int unused2, int unused3, int unused4);
   int    LoadParameters(uchar &account[], int accountType);
   void   GetLastErrorDescription(uchar &buffer[]);
   // Window toolkit (cdecl). Sizes are in pixels; the creators take the
   // height BEFORE the width, UIMakeWindow the width before the height.
   int    UIMakeWindow(uchar &title[], int x, int y, int width, int height, int placement, int callback);
   int    UIRun();
   int    UIFinish();
   uint   UIAddTimer(uint id, int seconds);
   int    UIKillTimer(uint id);
   int    UIAddButton(uchar &text[], int x, int y, int height, int width);
   int    UIAddTextBox(uchar &text[], int x, int y, int height, int width, bool password, bool focus);
   int    UIAddCheckbox(bool checked, uchar &text[], int x, int y, int height, int width);
   int    UIAddLabel(uchar &text[], int x, int y, int height, int width);
   int    UIHide(int handle);
   int    UIGetChecked(int handle);
   int    UISetText(int handle, uchar &text[]);
   int    UIGetText(int handle);
#import

#import "kernel32.dll"
   int    lstrlenA(int text);
   int    lstrcpynA(uchar &buffer[], int text, int bufferLength);
#import

#import "user32.dll"
   int    PeekMessageA(PbMsg &msg, int hwnd, uint firstMessage, uint lastMessage, uint removeFlags);
   int    IsDialogMessageA(int hwnd, PbMsg &msg);
   int    TranslateMessage(PbMsg &msg);
   int    DispatchMessageA(PbMsg &msg);
   int    IsWindow(int hwnd);
#import

//--- placement argument of UIMakeWindow
#define PB_PLACE_AT            0  // x, y: top-left corner on the screen
#define PB_PLACE_BOTTOM_RIGHT  1  // x, y: gaps to the right edge and to a line 30 px above the bottom

//--- results of PbRunDialog
#define PB_DIALOG_STOPPED     -1  // the program is being stopped (IsStopped)
#define PB_DIALOG_CLOSED       0  // the window no longer exists
#define PB_DIALOG_BUTTON       1  // a button was clicked (see PbDialog.button)
#define PB_DIALOG_ENTER        2  // Enter was pressed
#define PB_DIALOG_ESCAPE       3  // Escape was pressed
#define PB_DIALOG_TICK         4  // the dialog's timer ticked
#define PB_DIALOG_NONE      -100  // (internal) nothing to report

#define PB_WM_KEYDOWN     0x0100
#define PB_WM_KEYUP       0x0101
#define PB_WM_TIMER       0x0113
#define PB_WM_LBUTTONUP   0x0202
#define PB_WM_QUIT        0x0012
#define PB_VK_RETURN      0x0D
#define PB_VK_ESCAPE      0x1B
#define PB_VK_SPACE       0x20
#define PB_PM_REMOVE      1
#define PB_MAX_BUTTONS    8

//+------------------------------------------------------------------+
//| Text                                                             |
//+------------------------------------------------------------------+
// The 8-bit, NUL-terminated form of an MQL4 string.
void PbText(const string text, uchar &bytes[])
  {
   ArrayResize(bytes, 0);
   StringToCharArray(text, bytes, 0, WHOLE_ARRAY, CP_ACP);
  }

// Reads the text behind an address that the DLL returned (0 gives "").
string PbReadText(const int address)
  {
   if(address == 0)
      return("");
   int length = lstrlenA(address);
   if(length <= 0)
      return("");
   uchar bytes[];
   ArrayResize(bytes, length + 1);
   lstrcpynA(bytes, address, length + 1);
   return(CharArrayToString(bytes, 0, length, CP_ACP));
  }

//+------------------------------------------------------------------+
//| Parameter service                                                |
//+------------------------------------------------------------------+
// 1 when the parameters are loaded (now, or by an earlier call), 0 on
// failure. Blocks until the server answers. After a success every later
// call returns 1 at once, whatever the arguments.
int PbLoadParameters(const string account, const int accountType)
  {
   uchar bytes[];
   PbText(account, bytes);
   return(LoadParameters(bytes, accountType));
  }

// -1.0 until a fetch has succeeded.
double PbFunc101() { return(func101(0, 0)); }
double PbFunc102() { return(func102(0, 0, 0, 0)); }
double PbFunc103() { return(func103(0, 0, 0, 0)); }

// Why the last fetch failed (at most 255 characters).
string PbLastErrorDescription()
  {
   uchar buffer[256];
   ArrayInitialize(buffer, 0);
   GetLastErrorDescription(buffer);
   return(CharArrayToString(buffer, 0, WHOLE_ARRAY, CP_ACP));
  }

//+------------------------------------------------------------------+
//| Window toolkit                                                   |
//+------------------------------------------------------------------+
int PbMakeWindow(const string title, const int x, const int y, const int width, const int height, const int placement)
  {
   uchar bytes[];
   PbText(title, bytes);
   return(UIMakeWindow(bytes, x, y, width, height, placement, 0));
  }

int PbAddLabel(const string text, const int x, const int y, const int height, const int width)
  {
   uchar bytes[];
   PbText(text, bytes);
   return(UIAddLabel(bytes, x, y, height, width));
  }

int PbAddTextBox(const string text, const int x, const int y, const int height, const int width, const bool password, const bool focus)
  {
   uchar bytes[];
   PbText(text, bytes);
   return(UIAddTextBox(bytes, x, y, height, width, password, focus));
  }

int PbAddCheckbox(const bool checked, const string text, const int x, const int y, const int height, const int width)
  {
   uchar bytes[];
   PbText(text, bytes);
   return(UIAddCheckbox(checked, bytes, x, y, height, width));
  }

// An empty text changes nothing (the control keeps its text) and gives 0.
int PbSetText(const int handle, const string text)
  {
   uchar bytes[];
   PbText(text, bytes);
   return(UISetText(handle, bytes));
  }

// The control's (or window's) text, at most 254 characters.
string PbGetText(const int handle) { return(PbReadText(UIGetText(handle))); }

bool PbIsChecked(const int handle) { return(UIGetChecked(handle) == 1); }

// A dialog run by MQL4 code: the host window, its buttons (with their
// sizes, to tell a click from a press dragged away) and its timer.
struct PbDialog
  {
   int               host;
   uint              timer;        // 0: none
   int               buttons;
   int               handle[PB_MAX_BUTTONS];
   int               width[PB_MAX_BUTTONS];
   int               height[PB_MAX_BUTTONS];
   int               button;       // after PB_DIALOG_BUTTON: the handle clicked
  };

void PbDialogInit(PbDialog &dialog, const int host)
  {
   dialog.host = host;
   dialog.timer = 0;
   dialog.buttons = 0;
   dialog.button = 0;
  }

int PbDialogAddButton(PbDialog &dialog, const string text, const int x, const int y, const int height, const int width)
  {
   uchar bytes[];
   PbText(text, bytes);
   int handle = UIAddButton(bytes, x, y, height, width);
   if(handle != 0 && dialog.buttons < PB_MAX_BUTTONS)
     {
      dialog.handle[dialog.buttons] = handle;
      dialog.width[dialog.buttons] = width;
      dialog.height[dialog.buttons] = height;
      dialog.buttons++;
     }
   return(handle);
  }

// A repeating timer on the dialog; PbRunDialog returns PB_DIALOG_TICK on
// each tick. UIAddTimer's ticks have no effect of their own (no callback).
bool PbDialogSetTimer(PbDialog &dialog, const uint id, const int seconds)
  {
   if(UIAddTimer(id, seconds) == 0)
      return(false);
   dialog.timer = id;
   return(true);
  }

// What one message means to the dialog, looked at before it is dispatched.
int PbDialogEvent(PbDialog &dialog, const PbMsg &msg)
  {
   if(msg.message == PB_WM_TIMER && dialog.timer != 0 && (uint)msg.wParam == dialog.timer && msg.hwnd == dialog.host)
      return(PB_DIALOG_TICK);
   if(msg.message == PB_WM_KEYDOWN && msg.wParam == PB_VK_RETURN)
      return(PB_DIALOG_ENTER);
   if(msg.message == PB_WM_KEYDOWN && msg.wParam == PB_VK_ESCAPE)
      return(PB_DIALOG_ESCAPE);
   for(int i = 0; i < dialog.buttons; i++)
     {
      if(msg.hwnd != dialog.handle[i])
         continue;
      if(msg.message == PB_WM_KEYUP && msg.wParam == PB_VK_SPACE)
        {
         dialog.button = msg.hwnd;
         return(PB_DIALOG_BUTTON);
        }
      if(msg.message == PB_WM_LBUTTONUP)
        {
         // Coordinates are signed 16-bit, relative to the button.
         int x = msg.lParam & 0xFFFF;
         int y = (msg.lParam >> 16) & 0xFFFF;
         if(x >= 0x8000) x -= 0x10000;
         if(y >= 0x8000) y -= 0x10000;
         if(x >= 0 && y >= 0 && x < dialog.width[i] && y < dialog.height[i])
           {
            dialog.button = msg.hwnd;
            return(PB_DIALOG_BUTTON);
           }
        }
     }
   return(PB_DIALOG_NONE);
  }

// Runs the dialog's messages until something happens that the caller must
// decide on; returns one of PB_DIALOG_... . Call it again to go on.
int PbRunDialog(PbDialog &dialog)
  {
   PbMsg msg;
   while(!IsStopped())
     {
      if(IsWindow(dialog.host) == 0)
         return(PB_DIALOG_CLOSED);
      if(PeekMessageA(msg, dialog.host, 0, 0, PB_PM_REMOVE) == 0)
        {
         Sleep(20);
         continue;
        }
      int what = PbDialogEvent(dialog, msg);
      if(IsDialogMessageA(dialog.host, msg) == 0)
        {
         TranslateMessage(msg);
         DispatchMessageA(msg);
        }
      if(what != PB_DIALOG_NONE)
         return(what);
     }
   return(PB_DIALOG_STOPPED);
  }

// Destroys the window and takes away the quit message that its
// destruction posts to this thread.
void PbFinish()
  {
   UIFinish();
   PbMsg msg;
   PeekMessageA(msg, 0, PB_WM_QUIT, PB_WM_QUIT, PB_PM_REMOVE);
  }

#endif
