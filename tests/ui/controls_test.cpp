// Child controls: what each creator asks the window manager for, where the
// control lands, and what the readers and writers give back.
#include <string>

#include "fixture.h"

namespace uitest {
namespace {

struct CreatorRow {
  const char* name;
  HWND (*make)(const Toolkit&);
  const char* cls;        // as passed to CreateWindowEx
  const char* realClass;  // as GetClassName reports it
  bool hasText;
  LONG style;
  DWORD exStyle;
};

// Each creator at (10, 20), height 25, width 70: creators take the height
// before the width.
const CreatorRow kCreators[] = {
    {"button", [](const Toolkit& t) { return t.AddButton("OK", 10, 20, 25, 70); }, "BUTTON",
     "Button", true, 0x50010000, 0},
    {"text box", [](const Toolkit& t) { return t.AddTextBox("", 10, 20, 25, 70, 0, 0); }, "EDIT",
     "Edit", false, 0x50010000, WS_EX_CLIENTEDGE},
    {"check box", [](const Toolkit& t) { return t.AddCheckbox(0, "OK", 10, 20, 25, 70); }, "button",
     "Button", true, 0x50010003, 0},
    {"label", [](const Toolkit& t) { return t.AddLabel("OK", 10, 20, 25, 70); }, "STATIC", "Static",
     true, 0x50000000, 0},
};

TEST_F(UiTest, CreatorRecords) {
  HWND host = MakeHost();
  ASSERT_NE(host, nullptr);
  CreationSpy spy;
  for (const CreatorRow& row : kCreators) {
    SCOPED_TRACE(row.name);
    spy.created.clear();
    HWND control = row.make(tk);
    ASSERT_NE(control, nullptr);
    ASSERT_EQ(spy.Of(row.cls).size(), 1u);
    const Created c = spy.Of(row.cls)[0];
    EXPECT_EQ(c.hasText, row.hasText);
    if (row.hasText) {
      EXPECT_EQ(c.text, "OK");
    }
    EXPECT_EQ(c.style, row.style);
    EXPECT_EQ(c.exStyle, row.exStyle);
    EXPECT_EQ(c.menu, nullptr) << "control id 0";
    EXPECT_EQ(c.instance, tk.dll);
    EXPECT_EQ(c.parent, host);
    EXPECT_EQ(c.x, 10);
    EXPECT_EQ(c.y, 20);
    EXPECT_EQ(c.cx, 70);
    EXPECT_EQ(c.cy, 25);

    char cls[16] = {};
    GetClassNameA(control, cls, sizeof cls);
    EXPECT_STRCASEEQ(cls, row.realClass);
    EXPECT_EQ(GetDlgCtrlID(control), 0);
    EXPECT_EQ(GetParent(control), host);
    EXPECT_EQ(static_cast<LONG>(GetWindowLongA(control, GWL_STYLE)), row.style);
    // The window manager adds nothing to the creators' extended styles
    // beyond what they ask for (WS_EX_CLIENTEDGE stays alone on the edit
    // box; children get no WS_EX_WINDOWEDGE).
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(control, GWL_EXSTYLE)), row.exStyle);
    EXPECT_EQ(SendMessageA(control, WM_GETFONT, 0, 0), 0) << "no font is set";

    const RECT r = ClientRectInParent(control);
    EXPECT_EQ(r.left, 10);
    EXPECT_EQ(r.top, 20);
    EXPECT_EQ(r.right - r.left, 70);
    EXPECT_EQ(r.bottom - r.top, 25);
  }
}

TEST_F(UiTest, CreatorsNeedALiveHost) {
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "before any window" : "after UIFinish");
    for (const CreatorRow& row : kCreators) {
      SCOPED_TRACE(row.name);
      EXPECT_EQ(row.make(tk), nullptr);
    }
    EXPECT_EQ(tk.AddTextBox("text", 0, 0, 20, 20, 1, 1), nullptr);
    EXPECT_EQ(tk.AddCheckbox(1, "x", 0, 0, 20, 20), nullptr);
    ASSERT_NE(MakeHost(), nullptr);
    ASSERT_NE(tk.Finish(), 0);
  }
}

TEST_F(UiTest, NullTexts) {
  HWND host = MakeHost();
  ASSERT_NE(host, nullptr);
  HWND box = tk.AddTextBox(nullptr, 0, 0, 20, 100, 0, 0);
  ASSERT_NE(box, nullptr);
  EXPECT_STREQ(tk.GetText(box), "");
  EXPECT_STREQ(tk.GetText(tk.AddButton(nullptr, 0, 30, 20, 100)), "");
  EXPECT_STREQ(tk.GetText(tk.AddLabel(nullptr, 0, 60, 20, 100)), "");
  EXPECT_STREQ(tk.GetText(tk.AddCheckbox(0, nullptr, 0, 90, 20, 100)), "");
}

// Typed characters (WM_CHAR, as TranslateMessage makes them) show as '*'
// in a password box, and UIGetText returns them as typed.
TEST_F(UiTest, PasswordBox) {
  HWND host = MakeHost();
  HWND plain = tk.AddTextBox("", 10, 10, 22, 150, 0, 0);
  HWND secret = tk.AddTextBox("", 10, 40, 22, 150, 1, 0);
  HWND garbage = tk.AddTextBox("", 10, 70, 22, 150, 0x100, 0);  // low byte 0: not a password
  ASSERT_NE(host, nullptr);
  EXPECT_EQ(SendMessageA(secret, EM_GETPASSWORDCHAR, 0, 0), '*');
  EXPECT_TRUE(GetWindowLongA(secret, GWL_STYLE) & ES_PASSWORD);
  EXPECT_EQ(SendMessageA(plain, EM_GETPASSWORDCHAR, 0, 0), 0);
  EXPECT_EQ(SendMessageA(garbage, EM_GETPASSWORDCHAR, 0, 0), 0);
  for (const char* p = "s3cret!"; *p; ++p) SendMessageA(secret, WM_CHAR, static_cast<BYTE>(*p), 1);
  EXPECT_STREQ(tk.GetText(secret), "s3cret!");
  HWND preset = tk.AddTextBox("preset", 10, 100, 22, 150, 1, 0);
  EXPECT_STREQ(tk.GetText(preset), "preset");
  EXPECT_EQ(SendMessageA(preset, EM_GETPASSWORDCHAR, 0, 0), '*');
}

TEST_F(UiTest, FocusGoesToTheLaterBox) {
  const struct {
    std::uintptr_t first, second;
    int holder;  // 1 first, 2 second, 0 neither
  } rows[] = {{1, 1, 2}, {1, 0, 1}, {0, 1, 2}, {0x100, 0x200, 0}, {0xFF01, 0, 1},
              // Garbage in the upper half of a 64-bit slot (cut away on i686).
              {static_cast<std::uintptr_t>(0x8000000100000000ull), 0, 0},
              {0, static_cast<std::uintptr_t>(0xFFFFFFFF00000001ull), 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.first << " " << row.second);
    HWND host = MakeHost();
    ASSERT_NE(host, nullptr);
    HWND a = tk.AddTextBox("", 10, 10, 22, 150, 0, row.first);
    HWND b = tk.AddTextBox("", 10, 40, 22, 150, 0, row.second);
    const HWND focus = GetFocus();
    EXPECT_EQ(focus == a, row.holder == 1);
    EXPECT_EQ(focus == b, row.holder == 2);
    DestroyThreadWindows();
  }
}

TEST_F(UiTest, CheckboxStartsAsAsked) {
  ASSERT_NE(MakeHost(), nullptr);
  const struct {
    std::uintptr_t checked;
    int expected;
  } rows[] = {{0, 0}, {1, 1}, {2, 1}, {0x100, 0}, {0xFFFFFF01u, 1}, {0xFFFFFF00u, 0},
              {static_cast<std::uintptr_t>(0xFFFFFFFF00000000ull), 0},
              {static_cast<std::uintptr_t>(0x1234567800000001ull), 1}};
  int y = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << std::hex << row.checked);
    HWND box = tk.AddCheckbox(row.checked, "box", 10, y += 25, 20, 150);
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(tk.GetChecked(box), row.expected);
  }
}

// A click toggles the mark by itself and notifies (0, the box).
TEST_F(UiTest, CheckboxTogglesOnClick) {
  HWND host = MakeHost();
  HWND box = tk.AddCheckbox(1, "box", 10, 10, 20, 150);
  ASSERT_NE(box, nullptr);
  SetReaction([box](const Seen& s, int*) {
    return s.message == WM_COMMAND && s.lParam == reinterpret_cast<LPARAM>(box);
  });
  for (int expected : {0, 1, 0}) {
    Log().clear();
    PostMessageA(box, BM_CLICK, 0, 0);
    bool timedOut = true;
    RunBounded(tk, host, 5000, &timedOut);
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(MissingFrom(Log(), {Msg(WM_COMMAND, 0, reinterpret_cast<LPARAM>(box))}), "");
    EXPECT_EQ(tk.GetChecked(box), expected);
  }
}

TEST_F(UiTest, SetTextTable) {
  ASSERT_NE(MakeHost(), nullptr);
  const struct {
    const char* text;
    LRESULT result;
    const char* after;
  } rows[] = {{"", 0, "abc"}, {nullptr, 0, "abc"}, {"xyz", 1, "xyz"}, {" ", 1, " "}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text ? row.text : "(null)");
    HWND box = tk.AddTextBox("abc", 10, 10, 22, 150, 0, 0);
    ASSERT_STREQ(tk.GetText(box), "abc");
    EXPECT_EQ(tk.SetText(box, row.text), row.result);
    EXPECT_STREQ(tk.GetText(box), row.after);
    DestroyWindow(box);
  }
}

// At most 254 bytes of text come back, whatever the control holds.
TEST_F(UiTest, GetTextLengths) {
  ASSERT_NE(MakeHost(), nullptr);
  for (std::size_t length : {0u, 1u, 253u, 254u, 255u, 300u}) {
    SCOPED_TRACE(length);
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text += static_cast<char>('!' + i % 90);
    text[length ? length - 1 : 0] = length ? '\xE9' : '\0';  // 8-bit text passes unchanged
    HWND box = tk.AddTextBox(text.c_str(), 10, 10, 22, 150, 0, 0);
    HWND label = tk.AddLabel(text.c_str(), 10, 40, 22, 150);
    const std::string expected = text.substr(0, std::min<std::size_t>(length, 254));
    for (HWND control : {box, label}) {
      const char* got = tk.GetText(control);
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(std::string(got), expected);
    }
    DestroyWindow(box);
    DestroyWindow(label);
  }
}

// Every call gives a new block; a handle that names no window gives empty
// text rather than whatever the stack held.
TEST_F(UiTest, GetTextBlocks) {
  HWND host = MakeHost("title");
  char* one = tk.GetText(host);
  char* two = tk.GetText(host);
  EXPECT_NE(one, two);
  EXPECT_STREQ(one, "title");
  one[0] = 'X';
  EXPECT_STREQ(tk.GetText(host), "title");
  HWND dead = tk.AddLabel("gone", 0, 0, 10, 10);
  DestroyWindow(dead);
  for (HWND h : {dead, HWND(nullptr)}) {
    const char* got = tk.GetText(h);
    ASSERT_NE(got, nullptr);
    EXPECT_STREQ(got, "");
  }
}

TEST_F(UiTest, HostTitle) {
  HWND host = MakeHost("before");
  EXPECT_STREQ(tk.GetText(host), "before");
  EXPECT_EQ(tk.SetText(host, "after"), 1);
  EXPECT_STREQ(tk.GetText(host), "after");
  char title[16] = {};
  GetWindowTextA(host, title, sizeof title);
  EXPECT_STREQ(title, "after");
  EXPECT_EQ(tk.SetText(host, ""), 0);
  EXPECT_STREQ(tk.GetText(host), "after");
}

TEST_F(UiTest, HideTwice) {
  HWND host = MakeHost();
  HWND button = tk.AddButton("b", 0, 0, 20, 50);
  EXPECT_NE(tk.Hide(button), 0);
  EXPECT_EQ(tk.Hide(button), 0);
  EXPECT_FALSE(IsWindowVisible(button));
  EXPECT_NE(tk.Hide(host), 0) << "the whole window";
  EXPECT_FALSE(IsWindowVisible(host));
  EXPECT_EQ(tk.Hide(host), 0);
  DestroyWindow(button);
  EXPECT_EQ(tk.Hide(button), 0) << "no window";
}

TEST_F(UiTest, GetCheckedOnOtherWindows) {
  HWND host = MakeHost();
  HWND button = tk.AddButton("b", 0, 0, 20, 50);
  HWND label = tk.AddLabel("l", 0, 30, 20, 50);
  HWND box = tk.AddTextBox("1", 0, 60, 20, 50, 0, 0);
  HWND check = tk.AddCheckbox(1, "c", 0, 90, 20, 50);
  SendMessageA(button, BM_SETCHECK, BST_CHECKED, 0);  // a push button keeps no mark
  EXPECT_EQ(tk.GetChecked(button), 0);
  EXPECT_EQ(tk.GetChecked(label), 0);
  EXPECT_EQ(tk.GetChecked(box), 0);
  EXPECT_EQ(tk.GetChecked(host), 0);
  EXPECT_EQ(tk.GetChecked(check), 1);
  DestroyWindow(check);
  EXPECT_EQ(tk.GetChecked(check), 0) << "no window";
}

// Only an answer of exactly BST_CHECKED counts: BST_INDETERMINATE and any
// other value give 0. A window of a test class gives the answers.
LRESULT g_checkAnswer;
LRESULT CALLBACK AnswerProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  return m == BM_GETCHECK ? g_checkAnswer : DefWindowProcA(h, m, w, l);
}

TEST_F(UiTest, GetCheckedTakesOnlyBstChecked) {
  WNDCLASSA wc{};
  wc.lpfnWndProc = AnswerProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "CheckAnswer";
  ASSERT_NE(RegisterClassA(&wc), 0);
  HWND answerer = CreateWindowExA(0, "CheckAnswer", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
  ASSERT_NE(answerer, nullptr);
  const struct {
    LRESULT answer;
    int expected;
  } rows[] = {{BST_UNCHECKED, 0}, {BST_CHECKED, 1}, {BST_INDETERMINATE, 0}, {0x101, 0}, {-1, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.answer);
    g_checkAnswer = row.answer;
    EXPECT_EQ(tk.GetChecked(answerer), row.expected);
  }
  DestroyWindow(answerer);
  UnregisterClassA("CheckAnswer", wc.hInstance);
}

// Tab, through UIRun's dialog handling, visits the push button, edit boxes
// and check box in creation order and passes over labels; Shift+Tab goes
// back.
TEST_F(UiTest, TabOrder) {
  HWND host = MakeHost();
  tk.AddLabel("Name", 10, 10, 20, 60);
  HWND name = tk.AddTextBox("", 80, 10, 22, 150, 0, 1);
  tk.AddLabel("Secret", 10, 40, 20, 60);
  HWND secret = tk.AddTextBox("", 80, 40, 22, 150, 1, 0);
  HWND remember = tk.AddCheckbox(0, "Remember", 80, 70, 20, 150);
  HWND ok = tk.AddButton("OK", 80, 100, 25, 70);
  ASSERT_EQ(GetFocus(), name);
  SetReaction([](const Seen& s, int*) { return s.message == WM_APP; });

  auto press = [&](bool shift) {
    BYTE keys[256] = {};
    GetKeyboardState(keys);
    keys[VK_SHIFT] = shift ? 0x80 : 0;
    SetKeyboardState(keys);
    PostMessageA(GetFocus(), WM_KEYDOWN, VK_TAB, 1);
    PostMessageA(host, WM_APP, 0, 0);
    bool timedOut = true;
    RunBounded(tk, host, 5000, &timedOut);
    EXPECT_FALSE(timedOut);
    keys[VK_SHIFT] = 0;
    SetKeyboardState(keys);
    return GetFocus();
  };
  const struct {
    bool shift;
    HWND expected;
    const char* name;
  } steps[] = {{false, secret, "secret"}, {false, remember, "remember"}, {false, ok, "ok"},
               {false, name, "name (wrapped)"}, {true, ok, "ok (back)"},
               {true, remember, "remember (back)"}};
  for (const auto& step : steps) {
    SCOPED_TRACE(step.name);
    EXPECT_EQ(press(step.shift), step.expected);
  }
}

}  // namespace
}  // namespace uitest

namespace uitest {
namespace {

// Notifications that the creators cause reach the callback before the
// creator returns: the parent hears of the new child and of the edit box's
// focus and text.
TEST_F(UiTest, CreatorNotificationsArriveSynchronously) {
  HWND host = MakeHost();
  ASSERT_NE(host, nullptr);
  Log().clear();
  HWND box = tk.AddTextBox("abc", 10, 10, 22, 150, 0, 1);
  const LPARAM l = reinterpret_cast<LPARAM>(box);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, 0), l),
                                Msg(WM_COMMAND, MAKEWPARAM(0, EN_SETFOCUS), l),
                                Msg(WM_COMMAND, MAKEWPARAM(0, EN_CHANGE), l)}),
            "");
  Log().clear();
  EXPECT_EQ(tk.SetText(box, "def"), 1);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_COMMAND, MAKEWPARAM(0, EN_CHANGE), l)}), "");
  Log().clear();
  HWND check = tk.AddCheckbox(1, "c", 10, 40, 20, 100);
  EXPECT_EQ(MissingFrom(Log(), {Msg(WM_PARENTNOTIFY, MAKEWPARAM(WM_CREATE, 0),
                                    reinterpret_cast<LPARAM>(check))}),
            "");
  for (const Seen& s : Log()) {
    EXPECT_NE(s.message, UINT{WM_COMMAND}) << "BM_SETCHECK does not notify";
  }
}

}  // namespace
}  // namespace uitest
