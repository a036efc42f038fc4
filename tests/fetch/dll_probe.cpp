// Loads parambridge.dll afresh and calls its parameter exports in the order
// given on the command line, one result line per call:
//
//   load ACCOUNT TYPE    -> "load R"             LoadParameters(ACCOUNT, TYPE)
//   loadnull TYPE        -> "load R"             LoadParameters(nullptr, TYPE)
//   loop N ACCOUNT TYPE  -> "loop N SECONDS R"   N calls, wall time of all
//   refresh ACCOUNT TYPE -> "refresh R"          RefreshParameters(ACCOUNT, TYPE)
//   timedrefresh ACCOUNT TYPE -> "refresh R intime=1|0" and whether it
//                        returned within 30 s
//   awaitcode C          -> "code C2"            waits (at most 90 s) until
//                        GetLastErrorCode is no longer C: an exchange that
//                        outlived its caller has ended
//   code                 -> "code C"             GetLastErrorCode
//   desc                 -> "desc LEN HEX intact=0|1"
//   descnull             -> "descnull"           GetLastErrorDescription(nullptr)
//   f101 | f102 | f103   -> "f101 BITS %.17g"    the getter, BITS in hex
//   get NAME             -> "get NAME BITS"      GetParameter(NAME, -7.0)
//   together N ACCOUNT TYPE -> "together R,R,... odd=K"
//                        N threads released at once call LoadParameters,
//                        while two more poll func101..103, GetParameter and
//                        GetLastErrorDescription until the loaders are done;
//                        K counts answers that were neither the state before
//                        nor one after a complete write
//
//   storm READERS N ACCOUNT TYPE HOLD -> "held readers=progressed|stalled"
//                        after refresh HOLD has started, then "storm K odd=B"
//                        READERS threads read func101..103 and GetParameter
//                        of func101 and p while N refreshes run one after
//                        another; K of them returned 1. Reply k of the
//                        script holds k in every entry, so the answers a
//                        reader gets in turn never go down unless it saw a
//                        mix of two replies (B counts those, and defaults
//                        and -1s). Refresh HOLD (counted from 1) meets a
//                        held reply: once every reader has read again while
//                        it waits, the line "held" tells the driver to let
//                        the reply go
//
// A terminal ends a thread that overstays in a DLL call (TerminateThread).
// These play that:
//   ended KILL_MS WAITERS ACCOUNT TYPE
//                        -> "ended R W,W,... late=K"
//                        a thread calls LoadParameters and is ended after
//                        KILL_MS; WAITERS more threads call in halfway
//                        there; right after the kill this thread calls too
//                        (R). K counts the calls of the waiters and this
//                        thread that returned more than a second after the
//                        ended caller's exchange did (seen as the error code
//                        turning from 0); each later exchange is quick
//   endedrefresh KILL_MS ACCOUNT TYPE -> "endedrefresh R"
//                        a thread calls RefreshParameters and is ended after
//                        KILL_MS; then this thread calls it (R)
//   unload KILL_MS MODE  -> "unload mapped=M"  a caller ended after KILL_MS,
//                        then FreeLibrary: M says whether the module stayed
//                        mapped (its worker holds it). MODE "now" loads it
//                        again at once; "after" waits until the worker has
//                        unmapped it, then loads it afresh (the next ops run
//                        on that load)
//   free                 -> "free unmapped=U"  FreeLibrary with no caller in the
//                        module; U: whether that unmapped it at once (no
//                        worker holds it once LoadParameters has returned);
//                        then loaded afresh (the next ops run on that load)
//   readwhilewriting KILL_MS -> "readwhilewriting f101 BITS desc LEN"
//                        (test build whose store writes are slowed) a
//                        caller ended after KILL_MS, inside the exchange's
//                        store writes; then the readers, which must return
//                        before the exchange is done (f101 still -1)
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
#include <vector>

namespace {

using LoadFn = std::int32_t(__stdcall*)(const char*, std::int32_t);
using RefreshFn = LoadFn;
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

struct Exports {
  LoadFn load;
  RefreshFn refresh;
  CodeFn code;
  DescFn desc;
  Getter8Fn f101;
  Getter16Fn f102;
  Getter16Fn f103;
  GetParameterFn get;
};

// The shared state of one "together" run. Threads start suspended on an
// event, so that every loader calls in at once.
struct Together {
  const Exports* x;
  const char* account;
  std::int32_t type;
  HANDLE go;
  volatile LONG loadersLeft;
  volatile LONG odd;
  std::vector<std::int32_t> results;
};

struct LoaderArg {
  Together* t;
  std::size_t index;
};

DWORD WINAPI Loader(void* p) {
  auto* a = static_cast<LoaderArg*>(p);
  WaitForSingleObject(a->t->go, INFINITE);
  a->t->results[a->index] = a->t->x->load(a->t->account, a->t->type);
  InterlockedDecrement(&a->t->loadersLeft);
  return 0;
}

// Answers that a reader may see: a getter's -1.0 before the load or a served
// value after it, GetParameter's default or a whole stored number, and one
// of the descriptions the scenarios produce (or none).
bool Plausible(double v) { return v == -1.0 || v == -7.0 || (v > 0.0 && v < 1e6); }

DWORD WINAPI Poller(void* p) {
  auto* t = static_cast<Together*>(p);
  WaitForSingleObject(t->go, INFINITE);
  while (t->loadersLeft > 0) {
    bool ok = Plausible(t->x->f101(0, 0)) && Plausible(t->x->f102(0, 0, 0, 0)) &&
              Plausible(t->x->f103(0, 0, 0, 0)) && Plausible(t->x->get("func101", -7.0));
    char buffer[256];
    t->x->desc(buffer);
    const std::string d = buffer;
    // Empty between an exchange's start (the store emptied) and its reply.
    ok = ok && (d == "Internal dll error" || d == "Could not connect to server." ||
                d == "Service paused" || d.empty());
    if (!ok) InterlockedIncrement(&t->odd);
  }
  return 0;
}

void RunTogether(const Exports& x, int n, const char* account, std::int32_t type) {
  Together t{&x, account, type, CreateEventA(nullptr, TRUE, FALSE, nullptr), n, 0,
             std::vector<std::int32_t>(static_cast<std::size_t>(n), -1)};
  std::vector<LoaderArg> args(static_cast<std::size_t>(n));
  std::vector<HANDLE> threads;
  for (std::size_t k = 0; k < args.size(); ++k) {
    args[k] = {&t, k};
    threads.push_back(CreateThread(nullptr, 0, Loader, &args[k], 0, nullptr));
  }
  for (int k = 0; k < 2; ++k) threads.push_back(CreateThread(nullptr, 0, Poller, &t, 0, nullptr));
  SetEvent(t.go);
  for (HANDLE h : threads) {
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
  CloseHandle(t.go);
  std::printf("together ");
  for (std::size_t k = 0; k < t.results.size(); ++k) {
    std::printf("%s%ld", k ? "," : "", static_cast<long>(t.results[k]));
  }
  std::printf(" odd=%ld\n", static_cast<long>(t.odd));
}

double Now() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / static_cast<double>(f.QuadPart);
}

// One call of LoadParameters (or RefreshParameters) on a thread of its own,
// with its return time.
struct Call {
  const Exports* x;
  const char* account;
  std::int32_t type;
  DWORD startDelayMs;
  std::int32_t result;
  double returnedAt;
  bool refresh = false;
};

DWORD WINAPI CallMain(void* p) {
  auto* c = static_cast<Call*>(p);
  Sleep(c->startDelayMs);
  c->result = (c->refresh ? c->x->refresh : c->x->load)(c->account, c->type);
  c->returnedAt = Now();
  return 0;
}

// The time the first exchange ended: the error code is written at the end
// of every exchange and is 0 before the first.
struct Watch {
  const Exports* x;
  volatile double endedAt;
};

DWORD WINAPI WatchMain(void* p) {
  auto* w = static_cast<Watch*>(p);
  while (w->x->code() == 0) Sleep(1);
  w->endedAt = Now();
  return 0;
}

// Starts a caller and ends it after killMs, as a terminal does.
void CallAndEnd(const Exports& x, const char* account, std::int32_t type, DWORD killMs,
                bool refresh = false) {
  static Call victim;  // the ended thread's block: outlives it
  victim = {&x, account, type, 0, -1, 0, refresh};
  HANDLE t = CreateThread(nullptr, 0, CallMain, &victim, 0, nullptr);
  Sleep(killMs);
  TerminateThread(t, 1);
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
}

Exports Resolve() {
  return {reinterpret_cast<LoadFn>(Need("LoadParameters")),
          reinterpret_cast<RefreshFn>(Need("RefreshParameters")),
          reinterpret_cast<CodeFn>(Need("_GetLastErrorCode@0")),
          reinterpret_cast<DescFn>(Need("GetLastErrorDescription")),
          reinterpret_cast<Getter8Fn>(Need("func101")),
          reinterpret_cast<Getter16Fn>(Need("func102")),
          reinterpret_cast<Getter16Fn>(Need("func103")),
          reinterpret_cast<GetParameterFn>(Need("GetParameter"))};
}

void RunEnded(const Exports& x, DWORD killMs, int waiters, const char* account, std::int32_t type) {
  Watch watch{&x, 0};
  HANDLE watcher = CreateThread(nullptr, 0, WatchMain, &watch, 0, nullptr);
  std::vector<Call> calls(static_cast<std::size_t>(waiters), Call{&x, account, type, killMs / 2, -1, 0, false});
  std::vector<HANDLE> threads;
  for (Call& c : calls) threads.push_back(CreateThread(nullptr, 0, CallMain, &c, 0, nullptr));
  CallAndEnd(x, account, type, killMs);
  Call after{&x, account, type, 0, -1, 0, false};
  CallMain(&after);
  for (HANDLE h : threads) {
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
  WaitForSingleObject(watcher, INFINITE);
  CloseHandle(watcher);
  calls.push_back(after);
  int late = 0;
  for (const Call& c : calls) late += c.returnedAt - watch.endedAt > 1.0;
  std::printf("ended %ld ", static_cast<long>(after.result));
  for (int k = 0; k < waiters; ++k) {
    std::printf("%s%ld", k ? "," : "", static_cast<long>(calls[static_cast<std::size_t>(k)].result));
  }
  std::printf("%s late=%d\n", waiters ? "" : "-", late);
}

// The shared state of one "storm" run.
constexpr int kMaxStormReaders = 64;

struct Storm {
  const Exports* x;
  volatile LONG done;
  volatile LONG odd;
  volatile LONG rounds[kMaxStormReaders];
};

struct StormReader {
  Storm* s;
  std::size_t index;
};

DWORD WINAPI StormRead(void* p) {
  auto* r = static_cast<StormReader*>(p);
  const Exports& x = *r->s->x;
  double last = 1.0;
  auto check = [&](double v) {
    if (v < last || v != static_cast<double>(static_cast<long>(v))) InterlockedIncrement(&r->s->odd);
    last = v;
  };
  while (!r->s->done) {
    check(x.f101(0, 0));
    check(x.get("p", -7.0));
    check(x.f102(0, 0, 0, 0));
    check(x.get("func101", -7.0));
    check(x.f103(0, 0, 0, 0));
    InterlockedIncrement(&r->s->rounds[r->index]);
    Sleep(0);  // the exchanges need a processor too
  }
  return 0;
}

struct HeldRefresh {
  const Exports* x;
  const char* account;
  std::int32_t type;
  std::int32_t result;
};

DWORD WINAPI HeldRefreshMain(void* p) {
  auto* h = static_cast<HeldRefresh*>(p);
  h->result = h->x->refresh(h->account, h->type);
  return 0;
}

void RunStorm(const Exports& x, int readers, int n, const char* account, std::int32_t type,
              int hold) {
  if (readers < 1 || readers > kMaxStormReaders) {
    std::printf("storm takes 1 to %d readers\n", kMaxStormReaders);
    std::exit(2);
  }
  static Storm s;  // one run per probe
  s.x = &x;
  std::vector<StormReader> args(static_cast<std::size_t>(readers));
  std::vector<HANDLE> threads;
  for (std::size_t k = 0; k < args.size(); ++k) {
    args[k] = {&s, k};
    threads.push_back(CreateThread(nullptr, 0, StormRead, &args[k], 0, nullptr));
  }
  int ok = 0;
  for (int k = 1; k <= n; ++k) {
    if (k != hold) {
      ok += x.refresh(account, type);
      continue;
    }
    // The reply is held until the driver reads "held": each reader must
    // read again meanwhile (bounded: 60 s, then "stalled").
    std::vector<LONG> before;
    for (std::size_t i = 0; i < args.size(); ++i) before.push_back(static_cast<LONG>(s.rounds[i]));
    HeldRefresh h{&x, account, type, -1};
    HANDLE t = CreateThread(nullptr, 0, HeldRefreshMain, &h, 0, nullptr);
    const double deadline = Now() + 60.0;
    bool progressed = false;
    while (!progressed && Now() < deadline) {
      progressed = true;
      for (std::size_t i = 0; i < before.size(); ++i) progressed = progressed && s.rounds[i] > before[i] + 100;
      if (!progressed) Sleep(1);
    }
    progressed = progressed && WaitForSingleObject(t, 0) == WAIT_TIMEOUT;  // still held
    std::printf("held readers=%s\n", progressed ? "progressed" : "stalled");
    std::fflush(stdout);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    ok += h.result;
  }
  s.done = 1;
  for (HANDLE h : threads) {
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
  }
  std::printf("storm %d odd=%ld\n", ok, static_cast<long>(s.odd));
}

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
  Exports x = Resolve();
  // References: an "unload" op resolves the exports of the new load into x.
  auto& load = x.load;
  auto& code = x.code;
  auto& desc = x.desc;
  auto& f101 = x.f101;
  auto& f102 = x.f102;
  auto& f103 = x.f103;
  auto& get = x.get;

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
    } else if (op == "refresh") {
      std::printf("refresh %ld\n", static_cast<long>(x.refresh(arg(1), ToInt(arg(2)))));
      i += 2;
    } else if (op == "timedrefresh") {
      const double start = Now();
      const std::int32_t r = x.refresh(arg(1), ToInt(arg(2)));
      std::printf("refresh %ld intime=%d\n", static_cast<long>(r), Now() - start < 30.0 ? 1 : 0);
      i += 2;
    } else if (op == "awaitcode") {
      const std::int32_t from = ToInt(arg(1));
      const double deadline = Now() + 90.0;
      while (code() == from && Now() < deadline) Sleep(5);
      std::printf("code %ld\n", static_cast<long>(code()));
      i += 1;
    } else if (op == "storm") {
      RunStorm(x, ToInt(arg(1)), ToInt(arg(2)), arg(3), ToInt(arg(4)), ToInt(arg(5)));
      i += 5;
    } else if (op == "endedrefresh") {
      CallAndEnd(x, arg(2), ToInt(arg(3)), static_cast<DWORD>(ToInt(arg(1))), true);
      std::printf("endedrefresh %ld\n", static_cast<long>(x.refresh(arg(2), ToInt(arg(3)))));
      i += 3;
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
    } else if (op == "together") {
      RunTogether(x, static_cast<int>(std::strtol(arg(1), nullptr, 10)), arg(2), ToInt(arg(3)));
      i += 3;
    } else if (op == "ended") {
      RunEnded(x, static_cast<DWORD>(ToInt(arg(1))), ToInt(arg(2)), arg(3), ToInt(arg(4)));
      i += 4;
    } else if (op == "unload") {
      char path[MAX_PATH];
      GetModuleFileNameA(g_dll, path, MAX_PATH);
      CallAndEnd(x, "12345", 0, static_cast<DWORD>(ToInt(arg(1))));
      FreeLibrary(g_dll);
      const bool mapped = GetModuleHandleA(path) != nullptr;
      // No bound here: a worker that never ends hangs the probe, and the
      // driver's time limit reports it.
      if (std::string(arg(2)) == "after") {
        while (GetModuleHandleA(path)) Sleep(10);
      }
      g_dll = LoadLibraryA(path);
      if (!g_dll) return 3;
      x = Resolve();
      std::printf("unload mapped=%d\n", mapped ? 1 : 0);
      i += 2;
    } else if (op == "free") {
      char path[MAX_PATH];
      GetModuleFileNameA(g_dll, path, MAX_PATH);
      FreeLibrary(g_dll);
      const bool unmapped = GetModuleHandleA(path) == nullptr;
      g_dll = LoadLibraryA(path);
      if (!g_dll) return 3;
      x = Resolve();
      std::printf("free unmapped=%d\n", unmapped ? 1 : 0);
    } else if (op == "readwhilewriting") {
      CallAndEnd(x, "12345", 0, static_cast<DWORD>(ToInt(arg(1))));
      const double v = f101(0, 0);
      char buffer[256];
      desc(buffer);
      std::printf("readwhilewriting f101 %016llx desc %u\n", Bits(v),
                  static_cast<unsigned>(std::strlen(buffer)));
      i += 1;
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
