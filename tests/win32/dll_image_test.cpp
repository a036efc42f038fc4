// The real DLL, loaded as a terminal loads it: what its export and import
// tables hold, and what its getters answer before any fetch. Built for
// both parambridge.dll and parambridge64.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "loaded_dll.h"
#include "pe_image.h"

namespace {

using pbtest::Dll;
using pbtest::Proc;

// The same names and ordinals in both DLLs: x86-64 has no decoration, and
// the decorated names stand as names there. A program may import by
// ordinal: those of version 1.0 (1 to 23) never move, and each new export
// takes the next number.
const std::map<std::string, unsigned> kExportOrdinals = {
    {"GetLastErrorDescription", 1}, {"GetParameter", 2}, {"LoadParameters", 3},
    {"UIAddButton", 4}, {"UIAddCheckbox", 5}, {"UIAddLabel", 6}, {"UIAddTextBox", 7},
    {"UIAddTimer", 8}, {"UIFinish", 9}, {"UIGetChecked", 10}, {"UIGetText", 11},
    {"UIHide", 12}, {"UIKillTimer", 13}, {"UIMakeWindow", 14}, {"UIRun", 15},
    {"UISetText", 16}, {"_DllMain@12", 17}, {"_DllWndProc@16", 18},
    {"_GetLastErrorCode@0", 19}, {"_TimerProc@16", 20}, {"func101", 21}, {"func102", 22},
    {"func103", 23},
    // 1.1
    {"RefreshParameters", 24},
};

TEST(DllImage, ExportsExactlyTheImportedNames) {
  ASSERT_NE(Dll(), nullptr) << "LoadLibrary failed: " << GetLastError();
  std::set<std::string> names;
  for (const auto& [name, ordinal] : kExportOrdinals) names.insert(name);
  EXPECT_EQ(pbtest::ExportedNames(Dll()), names);
}

TEST(DllImage, EachExportKeepsItsOrdinal) {
  ASSERT_NE(Dll(), nullptr);
  EXPECT_EQ(pbtest::ExportOrdinals(Dll()), kExportOrdinals);
  // The loader finds the same function by ordinal as by name.
  for (const auto& [name, ordinal] : kExportOrdinals) {
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(Dll(), MAKEINTRESOURCEA(ordinal))),
              reinterpret_cast<void*>(GetProcAddress(Dll(), name.c_str())))
        << name << " @" << ordinal;
  }
}

// Every DLL imported is part of Windows, each for a reason: a terminal
// machine has them all, and nothing else needs installing beside the DLL.
struct SystemImport {
  const char* dll;
  const char* why;
};
constexpr SystemImport kSystemImports[] = {
    {"KERNEL32.DLL", "threads, memory, modules"},
    {"USER32.DLL", "the window toolkit"},
    {"WINHTTP.DLL", "the POST to the product server"},
    {"MSVCRT.DLL", "the C runtime that mingw's static runtime sits on"},
    {"ADVAPI32.DLL", "the stack protector's random guard (CryptGenRandom)"},
    {"CRYPT32.DLL", "the pin check: encodes the server's key info and hashes it (SHA-256 "
                    "through BCRYPT, which it loads itself); imported with or without pins"},
};

TEST(DllImage, ImportsOnlySystemDlls) {
  ASSERT_NE(Dll(), nullptr);
  std::set<std::string> allowed;
  for (const SystemImport& row : kSystemImports) allowed.insert(row.dll);
  const std::set<std::string> imported = pbtest::ImportedDlls(Dll());
  for (const std::string& dll : imported) {
    EXPECT_TRUE(allowed.count(dll)) << "imports " << dll;
  }
  EXPECT_TRUE(imported.count("CRYPT32.DLL")) << "the pin check is not linked in";
}

// Windows maps the DLL at a random base (high-entropy on x86-64) and never
// executes its data.
TEST(DllImage, IsHardenedForTheLoader) {
  ASSERT_NE(Dll(), nullptr);
  std::uint16_t wanted = IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_NX_COMPAT;
#ifdef _WIN64
  wanted |= IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA;
#endif
  EXPECT_EQ(pbtest::DllCharacteristics(Dll()) & wanted, wanted);
}

// What Explorer's Details tab shows for the file: the project's version and
// the file's own name.
TEST(DllImage, CarriesItsVersionResource) {
  const char* path = std::getenv("PB_DLL");
  ASSERT_NE(path, nullptr);
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u) << "no version resource";
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));
  auto text = [&](const char* name) {
    char* value = nullptr;
    UINT length = 0;
    const std::string key = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (!VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value), &length))
      return std::string("(missing)");
    return std::string(value);
  };
  // The product's name and version are the vendor's: PB_EXPECT_PRODUCT
  // ("NAME VERSION", VERSION empty for the project's) when the file was built
  // with others than this tree's. The file's name is the file's.
  std::string name = PB_EXPECT_PRODUCT_NAME, version = PB_EXPECT_VERSION;
  if (const char* product = std::getenv("PB_EXPECT_PRODUCT"); product && *product) {
    const std::string pair = product;
    name = pair.substr(0, pair.find(' '));
    const std::size_t space = pair.find(' ');
    if (space != std::string::npos && space + 1 < pair.size()) version = pair.substr(space + 1);
  }
  std::string file = path;
  file = file.substr(file.find_last_of("/\\") + 1);
  EXPECT_EQ(text("FileVersion"), PB_EXPECT_VERSION);
  EXPECT_EQ(text("ProductVersion"), version);
  EXPECT_EQ(text("ProductName"), name);
  EXPECT_EQ(text("OriginalFilename"), file);
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, PB_EXPECT_VERSION_MS);
  EXPECT_EQ(fixed->dwFileVersionLS, PB_EXPECT_VERSION_LS);
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
