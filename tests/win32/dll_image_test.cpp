// The real DLL, loaded as a terminal loads it: what its export and import
// tables hold, and what its getters answer before any fetch. Built for
// both parambridge.dll and parambridge64.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>

#include "loaded_dll.h"
#include "pe_image.h"

namespace {

using pbtest::Dll;
using pbtest::Proc;

// The same names in both DLLs: x86-64 has no decoration, and the decorated
// names stand as names there.
const std::set<std::string> kExports = {
    "GetParameter", "func101", "func102", "func103",
    "LoadParameters", "_GetLastErrorCode@0", "GetLastErrorDescription",
    "UIMakeWindow", "UIRun", "UIFinish", "UIAddTimer", "UIKillTimer",
    "_DllWndProc@16", "_TimerProc@16", "_DllMain@12",
    "UIAddButton", "UIAddTextBox", "UIAddCheckbox", "UIAddLabel",
    "UIHide", "UIGetChecked", "UISetText", "UIGetText",
};

TEST(DllImage, ExportsExactlyTheImportedNames) {
  ASSERT_NE(Dll(), nullptr) << "LoadLibrary failed: " << GetLastError();
  EXPECT_EQ(pbtest::ExportedNames(Dll()), kExports);
}

// Every Windows since Vista has each of these. CRYPT32 hashes the server's
// key for the pin check (it runs SHA-256 through BCRYPT, which it loads
// itself); it is imported whether or not this DLL was built with pins.
TEST(DllImage, ImportsOnlySystemDlls) {
  ASSERT_NE(Dll(), nullptr);
  const std::set<std::string> allowed = {"KERNEL32.DLL", "USER32.DLL", "WINHTTP.DLL", "MSVCRT.DLL",
                                         "CRYPT32.DLL"};
  const std::set<std::string> imported = pbtest::ImportedDlls(Dll());
  for (const std::string& dll : imported) {
    EXPECT_TRUE(allowed.count(dll)) << "imports " << dll;
  }
  EXPECT_TRUE(imported.count("CRYPT32.DLL")) << "the pin check is not linked in";
}

// PE32 for i686, PE32+ for x86-64: a terminal of the other kind refuses
// to load the file.
TEST(DllImage, IsBuiltForThisProcessorAndFormat) {
  ASSERT_NE(Dll(), nullptr);
#ifdef _WIN64
  EXPECT_EQ(pbtest::Machine(Dll()), IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(pbtest::OptionalMagic(Dll()), IMAGE_NT_OPTIONAL_HDR64_MAGIC);
#else
  EXPECT_EQ(pbtest::Machine(Dll()), IMAGE_FILE_MACHINE_I386);
  EXPECT_EQ(pbtest::OptionalMagic(Dll()), IMAGE_NT_OPTIONAL_HDR32_MAGIC);
#endif
}

TEST(DllGetters, AnswerMinusOneBeforeAnyLoad) {
  ASSERT_NE(Dll(), nullptr);
  using Getter2 = double(__stdcall*)(int, int);
  using Getter4 = double(__stdcall*)(int, int, int, int);
  auto f101 = Proc<Getter2>("func101");
  auto f102 = Proc<Getter4>("func102");
  auto f103 = Proc<Getter4>("func103");
  ASSERT_TRUE(f101 && f102 && f103);
  EXPECT_EQ(f101(0, 0), -1.0);
  EXPECT_EQ(f102(0, 0, 0, 0), -1.0);
  EXPECT_EQ(f103(0, 0, 0, 0), -1.0);
  char buffer[256];
  auto describe = Proc<void(__stdcall*)(char*)>("GetLastErrorDescription");
  describe(buffer);
  EXPECT_STREQ(buffer, "Internal dll error");
  describe(nullptr);  // writes nothing, does not crash
}

}  // namespace
