// Each test gets the DLL freshly loaded (ctest runs every test in its own
// process; run directly, TearDown unloads it again so the toolkit's state
// starts from zero) and a 1920x1080 desktop.
#pragma once

#include <gtest/gtest.h>

#include "toolkit.h"

namespace uitest {

class UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetRecorder();
    tk = LoadToolkit();
    ASSERT_TRUE(tk.complete()) << "LoadLibrary/GetProcAddress failed: " << GetLastError();
    const RECT screen = ScreenRect(GetDesktopWindow());
    ASSERT_EQ(screen.left, 0);
    ASSERT_EQ(screen.top, 0);
    ASSERT_EQ(screen.right, 1920) << "the test bed's desktop must be 1920x1080";
    ASSERT_EQ(screen.bottom, 1080);
  }
  void TearDown() override {
    DestroyThreadWindows();
    ResetRecorder();
    if (tk.dll) FreeLibrary(tk.dll);
  }

  // A host window at (100, 100), 400x300, with the recorder as callback.
  HWND MakeHost(const char* title = "host") {
    return tk.MakeWindow(title, 100, 100, 400, 300, 0, Record);
  }

  Toolkit tk;
};

}  // namespace uitest
