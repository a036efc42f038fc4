// The host window: placement, the class and window records, the message
// flow through the callback, the loop's ends and the window's lifecycle.
#include <cstring>

#include "fixture.h"

namespace uitest {
namespace {

// ---------------------------------------------------------------- placement

struct PlacementRow {
  int placement, x, y, width, height;
  int left, top;  // expected screen position; size is width x height
};

// On 1920x1080, placement 1 measures x from the right edge and y from a line
// 30 px above the bottom edge; every other value places at (x, y) as given.
const PlacementRow kPlacements[] = {
    {1, 0, 0, 200, 100, 1720, 950},
    {0, 0, 0, 200, 100, 0, 0},
    {2, 0, 0, 200, 100, 0, 0},
    {1, 10, 10, 200, 100, 1710, 940},  // 10 px to the right, 40 to the bottom
    {0, 33, 44, 150, 120, 33, 44},
    {257, 33, 44, 150, 120, 33, 44},  // the whole 32-bit value is compared
    {-1, 5, 6, 150, 120, 5, 6},
    {1, -100, -50, 200, 100, 1820, 1000},  // off the screen: nothing clamped
    {0, -30, 2000, 200, 100, -30, 2000},
};

TEST_F(UiTest, PlacementTable) {
  for (const PlacementRow& row : kPlacements) {
    SCOPED_TRACE(::testing::Message() << "placement " << row.placement << " x " << row.x << " y "
                                      << row.y);
    CreationSpy spy;
    HWND host = tk.MakeWindow("place", row.x, row.y, row.width, row.height, row.placement, nullptr);
    ASSERT_NE(host, nullptr);
    const std::vector<Created> asked = spy.Of(ClassName());
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].x, row.left);
    EXPECT_EQ(asked[0].y, row.top);
    EXPECT_EQ(asked[0].cx, row.width);
    EXPECT_EQ(asked[0].cy, row.height);
    const RECT r = ScreenRect(host);
    EXPECT_EQ(r.left, row.left);
    EXPECT_EQ(r.top, row.top);
    EXPECT_EQ(r.right - r.left, row.width);
    EXPECT_EQ(r.bottom - r.top, row.height);
    EXPECT_NE(tk.Finish(), 0);
  }
  const PlacementRow& gap = kPlacements[3];
  EXPECT_EQ(1920 - (gap.left + gap.width), 10);
  EXPECT_EQ(1080 - (gap.top + gap.height), 40);
}

// ------------------------------------------------------------------ records

TEST_F(UiTest, ClassRecord) {
  WNDCLASSA wc{};
  ASSERT_TRUE(GetClassInfoA(tk.dll, ClassName(), &wc));
  EXPECT_EQ(wc.style, 0x402Bu);
  EXPECT_EQ(reinterpret_cast<void*>(wc.lpfnWndProc), tk.wndProc);
  EXPECT_EQ(wc.cbClsExtra, 0);
  EXPECT_EQ(wc.cbWndExtra, 0);
  EXPECT_EQ(wc.hInstance, tk.dll);
  EXPECT_EQ(wc.hIcon, nullptr);
  EXPECT_EQ(wc.hCursor, LoadCursorA(nullptr, IDC_ARROW));
  EXPECT_EQ(reinterpret_cast<UINT_PTR>(wc.hbrBackground), UINT_PTR{COLOR_BTNFACE + 1});
  EXPECT_EQ(wc.lpszMenuName, nullptr);

  // The same record seen through a window of the class.
  HWND host = MakeHost();
  ASSERT_NE(host, nullptr);
  // The ...Ptr readers: handles and addresses are pointer-sized in a 64-bit
  // process, where the 32-bit GCL_ and GWL_ indexes do not exist.
  EXPECT_EQ(GetClassLongA(host, GCL_STYLE), 0x402Bu);
  EXPECT_EQ(GetClassLongPtrA(host, GCLP_HBRBACKGROUND), ULONG_PTR{COLOR_BTNFACE + 1});
  EXPECT_EQ(GetClassLongPtrA(host, GCLP_HCURSOR),
            reinterpret_cast<ULONG_PTR>(LoadCursorA(nullptr, IDC_ARROW)));
  char name[16] = {};
  GetClassNameA(host, name, sizeof name);
  EXPECT_STREQ(name, ClassName());
}

// What CreateWindowEx was asked for is visible in the CREATESTRUCT of
// WM_NCCREATE; a second window's creation reaches the callback stored with
// the first, so the recorder sees it.
TEST_F(UiTest, HostWindowRecord) {
  HWND first = tk.MakeWindow("first", 0, 0, 100, 100, 0, Record);
  ASSERT_NE(first, nullptr);
  CREATESTRUCTA cs{};
  char title[32] = {}, cls[64] = {};
  bool sawCreate = false;
  SetReaction([&](const Seen& s, int*) {
    if (s.message == WM_NCCREATE && !sawCreate) {
      sawCreate = true;
      cs = *reinterpret_cast<const CREATESTRUCTA*>(s.lParam);
      std::strncpy(title, cs.lpszName, sizeof title - 1);
      if (HIWORD(reinterpret_cast<UINT_PTR>(cs.lpszClass)))
        std::strncpy(cls, cs.lpszClass, sizeof cls - 1);
    }
    return false;
  });
  CreationSpy spy;
  HWND host = tk.MakeWindow("Title text", 0, 0, 300, 200, 0, nullptr);
  ASSERT_NE(host, nullptr);
  ASSERT_TRUE(sawCreate);
  ASSERT_EQ(spy.Of(ClassName()).size(), 1u);
  const Created asked = spy.Of(ClassName())[0];
  EXPECT_EQ(asked.text, "Title text");
  EXPECT_EQ(asked.style, LONG{WS_DLGFRAME});
  // Wine folds WS_EX_WINDOWEDGE (due to a dialog frame without a thick
  // frame) into the CREATESTRUCT before the CBT hook and WM_NCCREATE see
  // it, so the request shows as WS_EX_TOPMOST plus that bit.
  EXPECT_EQ(asked.exStyle & ~DWORD{WS_EX_WINDOWEDGE}, DWORD{WS_EX_TOPMOST});
  EXPECT_EQ(asked.parent, nullptr);
  EXPECT_EQ(asked.menu, nullptr);
  EXPECT_EQ(asked.instance, tk.dll);
  EXPECT_EQ(cs.style, LONG{WS_DLGFRAME});
  EXPECT_EQ(cs.dwExStyle & ~DWORD{WS_EX_WINDOWEDGE}, DWORD{WS_EX_TOPMOST});
  EXPECT_STREQ(title, "Title text");
  EXPECT_STREQ(cls, ClassName());
  EXPECT_EQ(cs.hwndParent, nullptr);
  EXPECT_EQ(cs.hMenu, nullptr);
  EXPECT_EQ(cs.hInstance, tk.dll);
  EXPECT_EQ(cs.lpCreateParams, nullptr);

  // What the window manager keeps: an overlapped window (neither child nor
  // popup) is given WS_CLIPSIBLINGS and the whole of WS_CAPTION (that is,
  // WS_BORDER too); ShowWindow adds WS_VISIBLE. A dialog frame without a
  // thick frame brings WS_EX_WINDOWEDGE. Windows and Wine agree on these.
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(host, GWL_STYLE)),
            DWORD{WS_DLGFRAME | WS_BORDER | WS_CLIPSIBLINGS | WS_VISIBLE});
  EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(host, GWL_EXSTYLE)),
            DWORD{WS_EX_TOPMOST | WS_EX_WINDOWEDGE});
  EXPECT_EQ(reinterpret_cast<void*>(GetWindowLongPtrA(host, GWLP_WNDPROC)), tk.wndProc);
  EXPECT_EQ(reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(host, GWLP_HINSTANCE)), tk.dll);
  EXPECT_EQ(GetParent(host), nullptr);
  EXPECT_EQ(GetMenu(host), nullptr);
  EXPECT_EQ(GetWindow(host, GW_OWNER), nullptr);
  EXPECT_TRUE(IsWindowVisible(host));
}

// ------------------------------------------------------------- message flow

// The first window's creation reaches no callback (none is stored yet); the
// second's reaches the first's, with its showing; UIFinish's destruction
// reaches the callback stored last.
TEST_F(UiTest, CreationAndDestructionSequences) {
  ASSERT_NE(tk.MakeWindow("a", 0, 0, 100, 100, 0, Record), nullptr);
  EXPECT_TRUE(Log().empty()) << Describe(Log());

  ASSERT_NE(tk.MakeWindow("b", 0, 0, 100, 100, 0, Record), nullptr);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_NCCREATE), Msg(WM_NCCALCSIZE), Msg(WM_CREATE),
                                Msg(WM_SHOWWINDOW, TRUE), Msg(WM_WINDOWPOSCHANGED)}),
            "");
  for (const Seen& s : Log()) {
    EXPECT_TRUE(s.handledPtrNonNull);
    EXPECT_EQ(s.handledOnEntry, 0) << std::hex << s.message;
  }

  Log().clear();
  EXPECT_NE(tk.Finish(), 0);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_DESTROY, 0, 0), Msg(WM_NCDESTROY)}), "");
  WPARAM code = 99;
  EXPECT_TRUE(TakeQuit(&code));
  EXPECT_EQ(code, 0u);
}

// A click (BM_CLICK, processed inside the loop) reaches the callback as
// WM_COMMAND with wParam 0 (BN_CLICKED, id 0) and lParam the button; true
// ends UIRun right after it, and the window stays whole and readable.
TEST_F(UiTest, ButtonClickEndsRunWindowStaysReadable) {
  HWND host = MakeHost();
  HWND ok = tk.AddButton("OK", 10, 20, 25, 70);
  HWND box = tk.AddTextBox("typed", 10, 60, 22, 120, 0, 0);
  ASSERT_NE(ok, nullptr);
  std::size_t stopAt = 0;
  SetReaction([&](const Seen& s, int*) {
    if (s.message == WM_COMMAND && s.lParam == reinterpret_cast<LPARAM>(ok)) {
      stopAt = Log().size();
      return true;
    }
    return false;
  });
  Log().clear();
  PostMessageA(host, WM_APP, 1, 2);
  PostMessageA(ok, BM_CLICK, 0, 0);
  PostMessageA(host, WM_APP + 1, 0, 0);  // never reached: the loop has ended
  bool timedOut = true;
  EXPECT_EQ(RunBounded(tk, host, 5000, &timedOut), 1);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_APP, 1, 2),
                                Msg(WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), reinterpret_cast<LPARAM>(ok))}),
            "");
  EXPECT_EQ(stopAt, Log().size()) << "nothing after the stopping message:\n" << Describe(Log());
  EXPECT_TRUE(IsWindow(host));
  EXPECT_TRUE(IsWindowVisible(host));
  EXPECT_STREQ(tk.GetText(box), "typed");
  MSG m;
  EXPECT_TRUE(PeekMessageA(&m, host, WM_APP + 1, WM_APP + 1, PM_NOREMOVE));
}

// A stop asked for while no loop runs (here for WM_SETTEXT sent by
// UISetText) is forgotten when the next UIRun starts.
TEST_F(UiTest, StopAskedOutsideLoopIsForgotten) {
  HWND host = MakeHost();
  SetReaction([](const Seen& s, int*) { return s.message == WM_SETTEXT || s.message == WM_APP + 1; });
  EXPECT_EQ(tk.SetText(host, "asks a stop"), 1);
  Log().clear();
  PostMessageA(host, WM_APP, 0, 0);
  PostMessageA(host, WM_APP + 1, 0, 0);
  bool timedOut = true;
  EXPECT_EQ(RunBounded(tk, host, 5000, &timedOut), 1);
  EXPECT_FALSE(timedOut);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_APP), Msg(WM_APP + 1)}), "");
}

// Only the low byte of the callback's result counts: the caller's bool may
// leave anything in the upper bytes of EAX (of RAX in a 64-bit process; on
// 32-bit the last row's garbage is cut to 0 and still does not stop).
TEST_F(UiTest, OnlyLowByteOfResultStops) {
  static std::uintptr_t answer;
  using Wide = std::uintptr_t(__cdecl*)(UINT, WPARAM, LPARAM, int*);
  const Wide wide = [](UINT m, WPARAM, LPARAM, int*) -> std::uintptr_t {
    return m == WM_APP ? answer : (m == WM_APP + 1 ? 1u : 0u);
  };
  HWND host = tk.MakeWindow("low byte", 0, 0, 100, 100, 0, reinterpret_cast<Callback>(reinterpret_cast<void*>(wide)));
  ASSERT_NE(host, nullptr);
  const struct {
    std::uintptr_t result;
    bool stops;
  } rows[] = {{0x00000100u, false}, {0xFFFFFF00u, false}, {0x00000001u, true},
              {0x12345680u, true}, {0x000000FFu, true},
              {static_cast<std::uintptr_t>(0xABCDEF0100000000ull), false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.result);
    answer = row.result;
    PostMessageA(host, WM_APP, 0, 0);
    PostMessageA(host, WM_APP + 1, 0, 0);  // always stops
    EXPECT_EQ(tk.Run(), 1);
    MSG m;
    EXPECT_EQ(PeekMessageA(&m, host, WM_APP + 1, WM_APP + 1, PM_REMOVE) != 0, row.stops);
  }
}

// Marking every message handled: no DefWindowProc (title neither set nor
// read), no quit message at destruction, and a further window cannot be
// made because its WM_NCCREATE is answered 0.
TEST_F(UiTest, EverythingHandled) {
  HWND host = tk.MakeWindow("kept title", 0, 0, 200, 100, 0, Record);
  ASSERT_NE(host, nullptr);
  SetReaction([](const Seen&, int* handled) {
    *handled = 1;
    return false;
  });
  EXPECT_EQ(tk.SetText(host, "new"), 0);
  SetReaction(nullptr);
  EXPECT_STREQ(tk.GetText(host), "kept title");
  SetReaction([](const Seen&, int* handled) {
    *handled = 1;
    return false;
  });
  EXPECT_STREQ(tk.GetText(host), "") << "WM_GETTEXT handled: nothing written";
  EXPECT_EQ(tk.MakeWindow("refused", 0, 0, 100, 100, 0, Record), nullptr);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_NCCREATE)}), "");
  EXPECT_EQ(tk.Finish(), 0) << "the host handle is now null";
  EXPECT_TRUE(IsWindow(host));

  DestroyWindow(host);
  EXPECT_FALSE(IsWindow(host));
  EXPECT_FALSE(TakeQuit());
}

// Destroying the window inside the loop ends UIRun after that message; the
// posted quit message stays queued.
TEST_F(UiTest, FinishInsideLoopEndsRun) {
  HWND host = MakeHost();
  const Toolkit* t = &tk;
  SetReaction([t](const Seen& s, int*) {
    if (s.message == WM_APP) t->Finish();
    return false;
  });
  Log().clear();
  PostMessageA(host, WM_APP, 0, 0);
  bool timedOut = true;
  EXPECT_EQ(RunBounded(tk, host, 5000, &timedOut), 1);
  EXPECT_FALSE(timedOut);
  EXPECT_FALSE(IsWindow(host));
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_APP), Msg(WM_DESTROY), Msg(WM_NCDESTROY)}), "");
  EXPECT_TRUE(TakeQuit());
}

// A callback that marks WM_DESTROY handled and asks no stop: the loop goes
// on until its retrieval fails on the dead handle.
TEST_F(UiTest, HandledDestroyLeavesNoQuit) {
  HWND host = MakeHost();
  const Toolkit* t = &tk;
  SetReaction([t](const Seen& s, int* handled) {
    if (s.message == WM_APP) t->Finish();
    if (s.message == WM_DESTROY) *handled = 1;
    return false;
  });
  PostMessageA(host, WM_APP, 0, 0);
  bool timedOut = true;
  EXPECT_EQ(RunBounded(tk, host, 5000, &timedOut), 1);
  EXPECT_FALSE(timedOut);
  EXPECT_FALSE(IsWindow(host));
  EXPECT_FALSE(TakeQuit());
}

// The loop retrieves the host window's messages and its children's only:
// another window's and the thread's own stay queued.
TEST_F(UiTest, LoopTakesOnlyTheHostsMessages) {
  HWND host = MakeHost();
  HWND other = CreateWindowExA(0, "STATIC", "other", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                               nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  SetReaction([](const Seen& s, int*) { return s.message == WM_APP + 1; });
  PostMessageA(other, WM_APP, 0, 0);
  PostThreadMessageA(GetCurrentThreadId(), WM_APP + 2, 0, 0);
  PostMessageA(host, WM_APP + 1, 0, 0);
  bool timedOut = true;
  EXPECT_EQ(RunBounded(tk, host, 5000, &timedOut), 1);
  EXPECT_FALSE(timedOut);
  MSG m;
  EXPECT_TRUE(PeekMessageA(&m, other, WM_APP, WM_APP, PM_REMOVE));
  EXPECT_TRUE(PeekMessageA(&m, reinterpret_cast<HWND>(-1), WM_APP + 2, WM_APP + 2, PM_REMOVE));
}

// ---------------------------------------------------------------- lifecycle

TEST_F(UiTest, FinishAndRunAtTheEdges) {
  EXPECT_EQ(tk.Finish(), 0) << "no window yet";
  HWND host = MakeHost();
  ASSERT_NE(host, nullptr);
  EXPECT_NE(tk.Finish(), 0);
  EXPECT_EQ(tk.Finish(), 0) << "the kept handle names no window";
  EXPECT_TRUE(TakeQuit());
  // A loop that waited would wait forever: the bound only makes that a
  // failure rather than the test's time-out, however busy the machine.
  const DWORD start = GetTickCount();
  EXPECT_EQ(tk.Run(), 1) << "the first retrieval fails at once";
  EXPECT_LT(GetTickCount() - start, 10000u);
  EXPECT_EQ(tk.AddTimer(1, 1), 0u);
  EXPECT_EQ(tk.KillTimer(1), 0);
}

TEST_F(UiTest, RunWithoutWindowEndsAtQuit) {
  PostQuitMessage(3);
  EXPECT_EQ(tk.Run(), 1);
  EXPECT_FALSE(TakeQuit());
}

// The second window becomes the host and its callback serves both; UIFinish
// no longer reaches the first.
TEST_F(UiTest, SecondWindowTakesOver) {
  HWND first = tk.MakeWindow("first", 0, 0, 100, 100, 0, nullptr);
  HWND second = tk.MakeWindow("second", 200, 0, 100, 100, 0, Record);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  Log().clear();
  EXPECT_EQ(tk.SetText(first, "renamed"), 1);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_SETTEXT)}), "");
  EXPECT_NE(tk.Finish(), 0);
  EXPECT_FALSE(IsWindow(second));
  EXPECT_TRUE(IsWindow(first));
  EXPECT_STREQ(tk.GetText(first), "renamed");
}

// A null callback: default handling only; WM_CLOSE destroys the window
// and that alone ends the loop, while timer ticks change nothing.
TEST_F(UiTest, NullCallback) {
  HWND host = tk.MakeWindow("no callback", 0, 0, 200, 100, 0, nullptr);
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(tk.SetText(host, "titled"), 1);
  EXPECT_STREQ(tk.GetText(host), "titled");
  EXPECT_NE(tk.AddTimer(1, 0), 0u);
  // The closer posts WM_CLOSE after some ticks have come, and says so first:
  // the loop must not end before it has.
  static volatile LONG closePosted;
  closePosted = 0;
  struct Closer {
    static DWORD WINAPI Main(void* hwnd) {
      Sleep(300);
      InterlockedExchange(&closePosted, 1);
      PostMessageA(static_cast<HWND>(hwnd), WM_CLOSE, 0, 0);
      return 0;
    }
  };
  HANDLE thread = CreateThread(nullptr, 0, Closer::Main, host, 0, nullptr);
  EXPECT_EQ(tk.Run(), 1);
  EXPECT_EQ(closePosted, 1) << "ended before WM_CLOSE";
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_FALSE(IsWindow(host));
  EXPECT_TRUE(TakeQuit());
}

// --------------------------------------------------------- the entry point

// Thread notices and process exit leave the class alone; a detach by
// FreeLibrary (reserved null) unregisters it, an attach registers it again.
TEST_F(UiTest, DllMainTable) {
  struct Row {
    DWORD reason;
    LPVOID reserved;
    bool registeredAfter;
  } rows[] = {
      {DLL_THREAD_ATTACH, nullptr, true},
      {DLL_THREAD_DETACH, nullptr, true},
      {DLL_PROCESS_DETACH, reinterpret_cast<LPVOID>(1), true},
      {DLL_PROCESS_DETACH, nullptr, false},
      {DLL_PROCESS_DETACH, nullptr, false},
      {DLL_PROCESS_ATTACH, nullptr, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << "reason " << row.reason << " reserved " << row.reserved);
    EXPECT_EQ(tk.DllMain(tk.dll, row.reason, row.reserved), TRUE);
    WNDCLASSA wc{};
    EXPECT_EQ(GetClassInfoA(tk.dll, ClassName(), &wc) != 0, row.registeredAfter);
  }
  HWND host = MakeHost();
  ASSERT_NE(host, nullptr);
  Log().clear();
  tk.SetText(host, "x");
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_SETTEXT)}), "");
}

// A window of another thread: made with a running timer, then idle (not
// inside the module) while the main thread unloads it, then pumping its
// queue as a terminal's chart thread would.
struct OtherThreadWindow {
  Toolkit* tk;
  HANDLE made, unloaded;
  HWND host = nullptr;
  int dispatched = 0;

  static DWORD WINAPI Main(void* p) {
    auto* w = static_cast<OtherThreadWindow*>(p);
    w->host = w->tk->MakeWindow("other thread", 100, 100, 200, 100, 0, nullptr);
    w->tk->AddTimer(7, 0);
    SetEvent(w->made);
    WaitForSingleObject(w->unloaded, INFINITE);
    // Until its window is gone; the bound only ends a failing run.
    const DWORD start = GetTickCount();
    MSG m;
    while (IsWindow(w->host) && GetTickCount() - start < 10000) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageA(&m);
        ++w->dispatched;
      }
    }
    return 0;
  }
};

// Unloading with FreeLibrary, then loading again at another base: the new
// load registers "KUI" afresh with its own DllWndProc, and its windows reach
// the callback. Where a window was still open at the unload (a script
// removed with its dialog up), no message or timer tick of it may run the
// unmapped code: the module destroys its windows (or, on another thread,
// has them closed there) and tells neither the callback nor the caller's
// loop (no WM_QUIT).
TEST_F(UiTest, ReloadAtAnotherBase) {
  const struct {
    const char* name;
    bool finishFirst;  // UIFinish before FreeLibrary
    bool otherThread;  // the open window belongs to another thread
  } rows[] = {
      {"every window finished first", true, false},
      {"window with a running timer left open", false, false},
      {"another thread's window with a running timer left open", false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (!tk.dll) tk = LoadToolkit();
    ASSERT_TRUE(tk.complete());
    HWND host = nullptr;
    OtherThreadWindow other{&tk, CreateEventA(nullptr, TRUE, FALSE, nullptr),
                            CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    HANDLE otherThread = nullptr;
    if (row.otherThread) {
      otherThread = CreateThread(nullptr, 0, OtherThreadWindow::Main, &other, 0, nullptr);
      WaitForSingleObject(other.made, INFINITE);
      host = other.host;
    } else {
      host = MakeHost();
      ASSERT_NE(tk.AddButton("OK", 10, 10, 25, 70), nullptr);
      ASSERT_NE(tk.AddTimer(7, 0), 0u);
    }
    ASSERT_NE(host, nullptr);
    if (row.finishFirst) {
      EXPECT_NE(tk.Finish(), 0);
      DestroyThreadWindows();
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(tk.dll);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        reinterpret_cast<const char*>(tk.dll) + dos->e_lfanew);
    const SIZE_T imageSize = nt->OptionalHeader.SizeOfImage;
    void* oldBase = tk.dll;
    Log().clear();
    ASSERT_TRUE(FreeLibrary(tk.dll));
    tk.dll = nullptr;
    void* blocker = VirtualAlloc(oldBase, imageSize, MEM_RESERVE, PAGE_NOACCESS);
    ASSERT_EQ(blocker, oldBase) << "could not occupy the old base";

    // Ticks and messages of the open window now find no module code: a
    // stale one would fault on the blocked pages.
    SetEvent(other.unloaded);
    if (otherThread) {
      WaitForSingleObject(otherThread, INFINITE);
      CloseHandle(otherThread);
    }
    SendMessageA(host, WM_APP, 0, 0);
    for (int i = 0; i < 5; ++i) {
      Sleep(20);
      MSG m;
      while (PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) {
        EXPECT_NE(m.message, static_cast<UINT>(WM_QUIT)) << "the unload posted a quit message";
        DispatchMessageA(&m);
      }
    }
    EXPECT_FALSE(IsWindow(host));
    EXPECT_TRUE(Log().empty()) << "the callback ran during the unload";
    CloseHandle(other.made);
    CloseHandle(other.unloaded);

    tk = LoadToolkit();
    ASSERT_TRUE(tk.complete());
    EXPECT_NE(static_cast<void*>(tk.dll), oldBase);
    WNDCLASSA wc{};
    ASSERT_TRUE(GetClassInfoA(tk.dll, ClassName(), &wc));
    EXPECT_EQ(reinterpret_cast<void*>(wc.lpfnWndProc), tk.wndProc);
    HWND fresh = MakeHost();
    ASSERT_NE(fresh, nullptr);
    Log().clear();
    PostMessageA(fresh, WM_APP, 0, 0);
    SetReaction([](const Seen& s, int*) { return s.message == WM_APP; });
    bool timedOut = true;
    EXPECT_EQ(RunBounded(tk, fresh, 5000, &timedOut), 1);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(MissingFrom(Log(), {Msg(WM_APP)}), "");
    SetReaction(nullptr);
    DestroyThreadWindows();
    FreeLibrary(tk.dll);
    tk.dll = nullptr;
    VirtualFree(blocker, 0, MEM_RELEASE);
  }
}

// Another module's global "KUI" came first: the DLL's registration fails,
// and its unload must not take the other module's class away.
LRESULT CALLBACK ForeignProc(HWND h, UINT m, WPARAM w, LPARAM l) { return DefWindowProcA(h, m, w, l); }

TEST_F(UiTest, UnloadKeepsAForeignClass) {
  DestroyThreadWindows();
  FreeLibrary(tk.dll);
  tk.dll = nullptr;
  HINSTANCE self = GetModuleHandleA(nullptr);
  WNDCLASSA foreign{};
  foreign.style = CS_GLOBALCLASS;
  foreign.lpfnWndProc = ForeignProc;
  foreign.hInstance = self;
  foreign.lpszClassName = ClassName();
  ASSERT_NE(RegisterClassA(&foreign), 0);

  tk = LoadToolkit();
  ASSERT_TRUE(tk.complete());
  FreeLibrary(tk.dll);
  tk.dll = nullptr;
  WNDCLASSA wc{};
  ASSERT_TRUE(GetClassInfoA(self, ClassName(), &wc));
  EXPECT_EQ(wc.lpfnWndProc, ForeignProc);
  UnregisterClassA(ClassName(), self);
}

}  // namespace
}  // namespace uitest

namespace uitest {
namespace {

// The dialog keyboard interface of UIRun beyond Tab. The controls all have
// id 0 and the host answers DM_GETDEFID (0x400) with 0 (DefWindowProc).
// Enter on a push button that Tab has moved to (Tab makes it the default
// button) arrives exactly like a click of it; Enter elsewhere, including on
// a button focused with SetFocus, arrives as IDOK, and Escape as IDCANCEL,
// both with no control in lParam.
TEST_F(UiTest, DialogKeys) {
  HWND host = MakeHost();
  HWND box = tk.AddTextBox("", 10, 10, 22, 150, 0, 1);
  HWND ok = tk.AddButton("OK", 10, 40, 25, 70);
  ASSERT_NE(ok, nullptr);
  SetReaction([](const Seen& s, int*) { return s.message == WM_APP; });
  auto keys = [&](HWND focus, std::vector<WPARAM> presses) {
    SetFocus(focus);
    Log().clear();
    for (WPARAM key : presses) {
      PostMessageA(GetFocus(), WM_KEYDOWN, key, 1);
      PostMessageA(host, WM_APP, 0, 0);
      bool timedOut = true;
      RunBounded(tk, host, 5000, &timedOut);
      EXPECT_FALSE(timedOut);
    }
  };
  const LPARAM l = reinterpret_cast<LPARAM>(ok);
  const struct {
    HWND focus;
    std::vector<WPARAM> presses;
    std::vector<Expect> expected;
    const char* name;
  } rows[] = {
      {box, {VK_RETURN}, {Msg(DM_GETDEFID), Msg(WM_COMMAND, IDOK, 0), Msg(WM_APP)}, "Enter in the edit box"},
      {box, {VK_ESCAPE}, {Msg(WM_COMMAND, IDCANCEL, 0), Msg(WM_APP)}, "Escape"},
      {ok, {VK_RETURN}, {Msg(WM_COMMAND, IDOK, 0), Msg(WM_APP)}, "Enter on a button given focus directly"},
      {box, {VK_TAB, VK_RETURN}, {Msg(WM_APP), Msg(WM_COMMAND, MAKEWPARAM(0, BN_CLICKED), l), Msg(WM_APP)},
       "Enter on a button reached by Tab"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    keys(row.focus, row.presses);
    EXPECT_EQ(MissingFrom(Log(), row.expected), "");
  }
}

}  // namespace
}  // namespace uitest
