// Loads parambridge.dll afresh and calls its parameter exports in the order
// given on the command line, one result line per call:
//
//   load ACCOUNT TYPE    -> "load R"             LoadParameters(ACCOUNT, TYPE)
//   loadnull TYPE        -> "load R"             LoadParameters(nullptr, TYPE)
//   loop N ACCOUNT TYPE  -> "loop N SECONDS R"   N calls, wall time of all
//   code                 -> "code C"             GetLastErrorCode
//   desc                 -> "desc LEN HEX intact=0|1"
//   descnull             -> "descnull"           GetLastErrorDescription(nullptr)
//   f101 | f102 | f103   -> "f101 BITS %.17g"    the getter, BITS in hex
//   get NAME             -> "get NAME BITS"      GetParameter(NAME, -7.0)
//
// "intact" says whether the bytes after the description's NUL were left
// alone. Exit status 0 when every call ran, 2 for a bad command line, 3 when
// the DLL or an export cannot be found.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

using LoadFn = std::int32_t(__stdcall*)(const char*, std::int32_t);
using CodeFn = std::int32_t(__stdcall*)();
using DescFn = void(__stdcall*)(char*);
using Getter8Fn = double(__stdcall*)(std::int32_t, std::int32_t);
using Getter16Fn = double(__stdcall*)(std::int32_t, std::int32_t, std::int32_t, std::int32_t);
// cdecl, and the string is passed by value: callable only from code built
// with this toolchain, which is what the probe is.
using GetParameterFn = double (*)(std::string, double);

HMODULE g_dll;

// Through void*: a direct cast from FARPROC trips -Wcast-function-type.
void* Need(const char* name) {
  void* p = reinterpret_cast<void*>(GetProcAddress(g_dll, name));
  if (!p) {
    std::printf("missing export %s\n", name);
    std::exit(3);
  }
  return p;
}

unsigned long long Bits(double d) {
  unsigned long long u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

void PrintDouble(const char* what, double d) {
  std::printf("%s %016llx %.17g\n", what, Bits(d), d);
}

std::int32_t ToInt(const char* text) { return static_cast<std::int32_t>(std::strtol(text, nullptr, 10)); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: dll_probe DLL OP...\n");
    return 2;
  }
  g_dll = LoadLibraryA(argv[1]);
  if (!g_dll) {
    std::printf("LoadLibrary failed: %lu\n", GetLastError());
    return 3;
  }
  auto load = reinterpret_cast<LoadFn>(Need("LoadParameters"));
  auto code = reinterpret_cast<CodeFn>(Need("_GetLastErrorCode@0"));
  auto desc = reinterpret_cast<DescFn>(Need("GetLastErrorDescription"));
  auto f101 = reinterpret_cast<Getter8Fn>(Need("func101"));
  auto f102 = reinterpret_cast<Getter16Fn>(Need("func102"));
  auto f103 = reinterpret_cast<Getter16Fn>(Need("func103"));
  auto get = reinterpret_cast<GetParameterFn>(Need("GetParameter"));

  for (int i = 2; i < argc; ++i) {
    const std::string op = argv[i];
    auto arg = [&](int k) -> const char* {
      if (i + k >= argc) {
        std::printf("op %s needs %d argument(s)\n", op.c_str(), k);
        std::exit(2);
      }
      return argv[i + k];
    };
    if (op == "load") {
      std::printf("load %ld\n", static_cast<long>(load(arg(1), ToInt(arg(2)))));
      i += 2;
    } else if (op == "loadnull") {
      std::printf("load %ld\n", static_cast<long>(load(nullptr, ToInt(arg(1)))));
      i += 1;
    } else if (op == "loop") {
      const long n = std::strtol(arg(1), nullptr, 10);
      const char* account = arg(2);
      const std::int32_t type = ToInt(arg(3));
      LARGE_INTEGER freq, t0, t1;
      QueryPerformanceFrequency(&freq);
      QueryPerformanceCounter(&t0);
      std::int32_t r = 0;
      for (long k = 0; k < n; ++k) r = load(account, type);
      QueryPerformanceCounter(&t1);
      std::printf("loop %ld %.6f %ld\n", n,
                  static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart),
                  static_cast<long>(r));
      i += 3;
    } else if (op == "code") {
      std::printf("code %ld\n", static_cast<long>(code()));
    } else if (op == "desc") {
      char buffer[1024];
      std::memset(buffer, 0xA5, sizeof buffer);
      desc(buffer);
      const std::size_t len = strnlen(buffer, sizeof buffer);
      bool intact = true;
      for (std::size_t k = len + 1; k < sizeof buffer; ++k) {
        intact = intact && static_cast<unsigned char>(buffer[k]) == 0xA5;
      }
      std::printf("desc %u ", static_cast<unsigned>(len));
      for (std::size_t k = 0; k < len; ++k) std::printf("%02x", static_cast<unsigned char>(buffer[k]));
      std::printf(" intact=%d\n", intact ? 1 : 0);
    } else if (op == "descnull") {
      desc(nullptr);
      std::printf("descnull\n");
    } else if (op == "f101") {
      PrintDouble("f101", f101(0, 0));
    } else if (op == "f102") {
      PrintDouble("f102", f102(0, 0, 0, 0));
    } else if (op == "f103") {
      PrintDouble("f103", f103(0, 0, 0, 0));
    } else if (op == "get") {
      std::printf("get %s %016llx\n", arg(1), Bits(get(arg(1), -7.0)));
      i += 1;
    } else {
      std::printf("unknown op %s\n", op.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
