// The real parambridge64.dll, loaded as a terminal loads it: each export
// called from an assembly thunk as an x64 caller calls it (four register
// arguments, then the stack above a 32-byte home area), with its result
// read where the convention puts it (RAX for integers, handles and
// addresses, XMM0 for doubles) and every non-volatile register checked.
// (dll_image_test.cpp checks its tables.)
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "loaded_dll.h"

namespace {

struct ProbeOut {
  std::uint64_t rax;
  std::uint64_t xmm0;
  std::uint64_t clobbered;
  std::int64_t rspDelta;
};

}  // namespace

extern "C" void pb_call_probe64(void* fn, const std::uint64_t* args, std::uint64_t nargs,
                                ProbeOut* out);

namespace {

using pbtest::Dll;

constexpr std::uint64_t kUntouchedRax = 0xDEADBEEFDEADBEEFull;
char g_description[256];

std::uint64_t Word(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::uint64_t Bits(double d) {
  std::uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

ProbeOut Call(const char* name, std::vector<std::uint64_t> args) {
  void* fn = reinterpret_cast<void*>(GetProcAddress(Dll(), name));
  ProbeOut out = {};
  if (!fn) {
    ADD_FAILURE() << name << " is not exported";
    return out;
  }
  if (args.size() < 4) args.resize(4, 0);
  pb_call_probe64(fn, args.data(), args.size(), &out);
  EXPECT_EQ(out.clobbered, 0u) << name << ": non-volatile registers not restored (mask)";
  EXPECT_EQ(out.rspDelta, 0) << name << ": RSP moved across the call";
  return out;
}

// What a row's result must be.
enum class Result {
  kDouble,   // XMM0 holds `value` (as a double)
  kInt32,    // EAX holds `value`
  kZero,     // all of RAX is 0 (a null handle, pointer or LRESULT)
  kWindow,   // RAX is a live window's handle
  kEmptyText,  // RAX points to an empty NUL-terminated text
  kNone,     // void
};

struct AbiRow {
  const char* name;
  std::vector<std::uint64_t> args;  // first argument first
  Result result;
  double value;
};

// In order: no row blocks, and each leaves only what later rows expect (no
// host window until UIMakeWindow, none after the last UIFinish). No server.
std::vector<AbiRow> AbiRows() {
  static const char kTitle[] = "abi64";
  static const char kText[] = "x";
  // A bool slot with garbage above its low byte: the flag reads as set.
  const std::uint64_t kSetFlag = 0xFFFFFFFF00000101ull;
  return {
      {"func101", {1, 2}, Result::kDouble, -1.0},
      {"func102", {1, 2, 3, 4}, Result::kDouble, -1.0},
      {"func103", {1, 2, 3, 4}, Result::kDouble, -1.0},
      {"_GetLastErrorCode@0", {}, Result::kInt32, 0},
      {"GetLastErrorDescription", {Word(g_description)}, Result::kNone, 0},
      {"_DllMain@12", {Word(Dll()), DLL_THREAD_ATTACH, 0}, Result::kInt32, 1},
      {"_DllWndProc@16", {0, WM_NULL, 0, 0}, Result::kZero, 0},
      {"_TimerProc@16", {0, WM_TIMER, 0, 0}, Result::kNone, 0},
      {"UIFinish", {}, Result::kInt32, 0},
      {"UIKillTimer", {99}, Result::kInt32, 0},
      {"UIHide", {0}, Result::kInt32, 0},
      {"UIGetChecked", {0}, Result::kInt32, 0},
      {"UISetText", {0, Word(kText)}, Result::kZero, 0},
      {"UIGetText", {0}, Result::kEmptyText, 0},
      {"UIAddButton", {Word(kText), 1, 2, 3, 4}, Result::kZero, 0},
      {"UIMakeWindow", {Word(kTitle), 0, 0, 50, 50, 0, 0}, Result::kWindow, 0},
      {"UIAddButton", {Word(kText), 1, 2, 20, 40}, Result::kWindow, 0},
      {"UIAddLabel", {Word(kText), 1, 30, 20, 40}, Result::kWindow, 0},
      {"UIAddCheckbox", {kSetFlag, Word(kText), 1, 60, 20, 40}, Result::kWindow, 0},
      {"UIAddTextBox", {Word(kText), 1, 90, 20, 40, kSetFlag, 0}, Result::kWindow, 0},
      {"UIAddTimer", {99, 60}, Result::kInt32, 99},
      {"UIKillTimer", {99}, Result::kInt32, 1},
      {"UIFinish", {}, Result::kInt32, 1},
  };
}

TEST(DllAbi64, EachExportReturnsWhereTheConventionPutsIt) {
  ASSERT_NE(Dll(), nullptr);
  for (const AbiRow& row : AbiRows()) {
    SCOPED_TRACE(row.name);
    const ProbeOut out = Call(row.name, row.args);
    switch (row.result) {
      case Result::kDouble:
        EXPECT_EQ(out.xmm0, Bits(row.value)) << "result not in XMM0";
        break;
      case Result::kInt32:
        EXPECT_EQ(static_cast<std::int32_t>(out.rax), static_cast<std::int32_t>(row.value));
        break;
      case Result::kZero:
        EXPECT_EQ(out.rax, 0u);
        break;
      case Result::kWindow:
        EXPECT_TRUE(IsWindow(reinterpret_cast<HWND>(out.rax))) << std::hex << out.rax;
        break;
      case Result::kEmptyText:
        ASSERT_NE(out.rax, 0u);
        ASSERT_NE(out.rax, kUntouchedRax);
        EXPECT_STREQ(reinterpret_cast<const char*>(out.rax), "");
        break;
      case Result::kNone:
        break;
    }
  }
  EXPECT_STREQ(g_description, "Internal dll error");
}

TEST(DllAbi64, GetParameterTakesTheStringByReferenceToACopy) {
  ASSERT_NE(Dll(), nullptr);
  // This toolchain passes a std::string argument as the address of the
  // caller's temporary (RCX); the double is the second argument (XMM1).
  std::string name = "absent";
  const ProbeOut out = Call("GetParameter", {Word(&name), Bits(6.25)});
  EXPECT_EQ(out.xmm0, Bits(6.25));
}

TEST(DllAbi64, LoadParametersAnswersInEax) {
  ASSERT_NE(Dll(), nullptr);
  // The call posts to the build-time endpoint: with no server there it
  // fails at once, with one it gets an answer; either way it returns 0 or 1.
  static const char account[] = "abi64";
  const ProbeOut out = Call("LoadParameters", {Word(account), 0xFFFFFFFFull});
  EXPECT_TRUE(static_cast<std::uint32_t>(out.rax) <= 1u) << std::hex << out.rax;
}

TEST(DllAbi64, RefreshParametersAnswersInEax) {
  ASSERT_NE(Dll(), nullptr);
  // Posts like LoadParameters (and returns within its 30-second wait).
  static const char account[] = "abi64";
  const ProbeOut out = Call("RefreshParameters", {Word(account), 0xFFFFFFFFull});
  EXPECT_TRUE(static_cast<std::uint32_t>(out.rax) <= 1u) << std::hex << out.rax;
}

// A timer id is pointer-sized: the whole 64-bit value names the timer.
TEST(DllAbi64, TimerIdsArePointerSized) {
  ASSERT_NE(Dll(), nullptr);
  using MakeWindow = HWND (*)(const char*, int, int, int, int, int, void*);
  using AddTimer = UINT_PTR (*)(UINT_PTR, int);
  using KillTimer = BOOL (*)(UINT_PTR);
  using Finish = int (*)();
  auto make = pbtest::Proc<MakeWindow>("UIMakeWindow");
  auto add = pbtest::Proc<AddTimer>("UIAddTimer");
  auto kill = pbtest::Proc<KillTimer>("UIKillTimer");
  auto finish = pbtest::Proc<Finish>("UIFinish");
  ASSERT_TRUE(make && add && kill && finish);
  ASSERT_NE(make("ids", 0, 0, 50, 50, 0, nullptr), nullptr);
  const UINT_PTR wide = 0x1234567800000063ull;
  EXPECT_NE(add(wide, 60), 0u);
  EXPECT_FALSE(kill(wide & 0xFFFFFFFFu)) << "the id was cut to 32 bits";
  EXPECT_TRUE(kill(wide));
  EXPECT_NE(finish(), 0);
}

}  // namespace
