// The real parambridge.dll, loaded as a terminal loads it: how each export
// treats the stack and returns its result under the 32-bit conventions.
// (dll_image_test.cpp checks its tables.)
#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "loaded_dll.h"

extern "C" std::uint32_t pb_call_probe(void* fn, const std::uint32_t* args, std::uint32_t nwords,
                                       std::uint32_t* eaxOut, double* st0Out);

namespace {

using pbtest::Dll;

std::uint32_t Word(const void* p) { return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(p)); }

struct AbiRow {
  const char* name;
  std::vector<std::uint32_t> args;  // as pushed; first argument first
  std::uint32_t removes;            // bytes the callee takes off the stack
  bool returnsDouble;
};

// Arguments chosen so that no call blocks or leaves state behind that a
// later row depends on, with no window and no server.
std::vector<AbiRow> AbiRows() {
  static const char kTitle[] = "abi";
  static const char kText[] = "x";
  static char description[256];
  return {
      {"func101", {1, 2}, 8, true},
      {"func102", {1, 2, 3, 4}, 16, true},
      {"func103", {1, 2, 3, 4}, 16, true},
      {"_GetLastErrorCode@0", {}, 0, false},
      {"GetLastErrorDescription", {Word(description)}, 4, false},
      {"_DllMain@12", {Word(Dll()), DLL_THREAD_ATTACH, 0}, 12, false},
      {"_DllWndProc@16", {0, WM_NULL, 0, 0}, 16, false},
      {"_TimerProc@16", {0, WM_TIMER, 0, 0}, 16, false},
      {"UIFinish", {}, 0, false},
      {"UIKillTimer", {99}, 0, false},
      {"UIHide", {0}, 0, false},
      {"UIGetChecked", {0}, 0, false},
      {"UISetText", {0, Word(kText)}, 0, false},
      {"UIGetText", {0}, 0, false},
      {"UIAddButton", {Word(kText), 1, 2, 3, 4}, 0, false},
      {"UIAddLabel", {Word(kText), 1, 2, 3, 4}, 0, false},
      {"UIAddCheckbox", {1, Word(kText), 1, 2, 3, 4}, 0, false},
      {"UIAddTextBox", {Word(kText), 1, 2, 3, 4, 0, 0}, 0, false},
      {"UIMakeWindow", {Word(kTitle), 0, 0, 50, 50, 0, 0}, 0, false},
      {"UIAddTimer", {99, 60}, 0, false},
      {"UIKillTimer", {99}, 0, false},
      {"UIFinish", {}, 0, false},
  };
}

TEST(DllAbi, EachExportRemovesItsArgumentBytes) {
  ASSERT_NE(Dll(), nullptr);
  for (const AbiRow& row : AbiRows()) {
    void* fn = reinterpret_cast<void*>(GetProcAddress(Dll(), row.name));
    ASSERT_NE(fn, nullptr) << row.name;
    std::uint32_t eax = 0;
    double st0 = 0.0;
    const std::uint32_t removed = pb_call_probe(fn, row.args.data(), static_cast<std::uint32_t>(row.args.size()),
                                                &eax, row.returnsDouble ? &st0 : nullptr);
    EXPECT_EQ(removed, row.removes) << row.name;
    if (row.returnsDouble) {
      EXPECT_EQ(st0, -1.0) << row.name << ": result not in ST(0)";
    }
  }
}

TEST(DllAbi, GetParameterIsCdeclWithTheStringByReferenceToACopy) {
  ASSERT_NE(Dll(), nullptr);
  void* fn = reinterpret_cast<void*>(GetProcAddress(Dll(), "GetParameter"));
  ASSERT_NE(fn, nullptr);
  // This toolchain passes a std::string argument as the address of the
  // caller's temporary, which the caller destroys; the double follows.
  std::string name = "absent";
  const double fallback = 6.25;
  std::uint32_t args[3] = {Word(&name)};
  std::memcpy(&args[1], &fallback, sizeof fallback);
  std::uint32_t eax = 0;
  double st0 = 0.0;
  EXPECT_EQ(pb_call_probe(fn, args, 3, &eax, &st0), 0u);
  EXPECT_EQ(st0, 6.25);
}

// The two calls that post to the build-time endpoint: with no server there
// they fail at once, with one they get an answer (a refresh returns within
// its 30-second wait); either way each removes its 8 bytes and answers 0 or
// 1. (Their names keep them out of the runs on a DLL built for another
// server: see tests/win32/CMakeLists.txt.)
void ExpectStdcallPost(const char* name) {
  ASSERT_NE(Dll(), nullptr);
  void* fn = reinterpret_cast<void*>(GetProcAddress(Dll(), name));
  ASSERT_NE(fn, nullptr) << name;
  const char account[] = "abi";
  std::uint32_t args[2] = {Word(account), static_cast<std::uint32_t>(-1)};
  std::uint32_t eax = 0;
  EXPECT_EQ(pb_call_probe(fn, args, 2, &eax, nullptr), 8u) << name;
  EXPECT_LE(eax, 1u) << name;
}

TEST(DllAbi, LoadParametersIsStdcall) { ExpectStdcallPost("LoadParameters"); }

TEST(DllAbi, RefreshParametersIsStdcall) { ExpectStdcallPost("RefreshParameters"); }

}  // namespace
