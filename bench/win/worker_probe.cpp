// The cost of running a fetch's exchange on a thread other than the
// caller's, measured under the same Windows (or Wine) as the DLL, one row
// per command-line op, each timed over N calls after K untimed ones:
//
//   preload DLL         loads DLL and keeps it (untimed), so that every row
//                       runs with the same modules loaded as the product's
//   thread              CreateThread of an empty procedure, then
//                       WaitForSingleObject and CloseHandle on it
//   thread-ref DLL      the same, with the module reference a worker holds:
//                       LoadLibrary(DLL) before the start, and the thread
//                       ends in FreeLibraryAndExitThread(DLL)
//   handoff             one long-lived thread parked on an event: wake it,
//                       wait for its answer on a second event
//   load DLL ACCOUNT TYPE  LoadParameters(ACCOUNT, TYPE) of DLL (with the
//                       stand-in DLL, whose exchange answers at once: the
//                       module's worker alone)
//   post URL BODYHEX PINS  pb::PostForm on this thread ("-" for no pins)
//   post-thread URL BODYHEX PINS  pb::PostForm, each call on a new thread
//   post-handoff URL BODYHEX PINS  pb::PostForm, each call handed to one
//                       long-lived thread
//
// usage: worker_probe [--calls N] [--warmup K] OP...
// Prints "row OP N SECONDS" per op. Exit status 0 when every op ran, 2 for a
// bad command line, 3 when a DLL, an export or a thread could not be had.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "params/pins.h"
#include "params/transport.h"

namespace {

long g_calls = 50;
long g_warmup = 5;

double Seconds(const LARGE_INTEGER& from, const LARGE_INTEGER& to) {
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(freq.QuadPart);
}

[[noreturn]] void Fail(const char* what) {
  std::printf("%s failed: %lu\n", what, GetLastError());
  std::exit(3);
}

// Runs one(call) g_warmup times untimed, then g_calls times timed.
template <typename One>
void Row(const char* name, One one) {
  for (long k = 0; k < g_warmup; ++k) one();
  LARGE_INTEGER t0, t1;
  QueryPerformanceCounter(&t0);
  for (long k = 0; k < g_calls; ++k) one();
  QueryPerformanceCounter(&t1);
  std::printf("row %s %ld %.6f\n", name, g_calls, Seconds(t0, t1));
  std::fflush(stdout);
}

DWORD WINAPI Empty(void*) { return 0; }

HMODULE g_refDll;

DWORD WINAPI EndWithRef(void*) { FreeLibraryAndExitThread(g_refDll, 0); }

void StartAndJoin(LPTHREAD_START_ROUTINE proc, void* arg) {
  HANDLE t = CreateThread(nullptr, 0, proc, arg, 0, nullptr);
  if (!t) Fail("CreateThread");
  WaitForSingleObject(t, INFINITE);
  CloseHandle(t);
}

// One long-lived thread that runs a job each time it is woken.
class Parked {
 public:
  explicit Parked(void (*job)(void*), void* arg) : job_(job), arg_(arg) {
    wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    done_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Main, this, 0, nullptr);
    if (!wake_ || !done_ || !thread_) Fail("parked thread");
  }
  ~Parked() {
    stop_ = true;
    SetEvent(wake_);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    CloseHandle(wake_);
    CloseHandle(done_);
  }
  void Run() {
    SetEvent(wake_);
    WaitForSingleObject(done_, INFINITE);
  }

 private:
  static DWORD WINAPI Main(void* p) {
    auto* self = static_cast<Parked*>(p);
    for (;;) {
      WaitForSingleObject(self->wake_, INFINITE);
      if (self->stop_) return 0;
      self->job_(self->arg_);
      SetEvent(self->done_);
    }
  }
  void (*job_)(void*);
  void* arg_;
  HANDLE wake_ = nullptr, done_ = nullptr, thread_ = nullptr;
  volatile bool stop_ = false;
};

void Nothing(void*) {}

struct Post {
  const char* url;
  std::string body;
  pb::PinSet pins;
  std::size_t replySize = 0;
};

void PostOnce(void* p) {
  auto* post = static_cast<Post*>(p);
  post->replySize = pb::PostForm(post->url, post->body.c_str(), post->pins).size();
}

DWORD WINAPI PostThread(void* p) {
  PostOnce(p);
  return 0;
}

bool FromHex(const char* hex, std::string& out) {
  const std::size_t n = std::strlen(hex);
  if (n % 2 != 0) return false;
  for (std::size_t i = 0; i < n; i += 2) {
    const char byte[3] = {hex[i], hex[i + 1], '\0'};
    char* end = nullptr;
    out.push_back(static_cast<char>(std::strtol(byte, &end, 16)));
    if (*end != '\0') return false;
  }
  return true;
}

// Through void*: a direct cast from FARPROC trips -Wcast-function-type.
using LoadFn = std::int32_t(__stdcall*)(const char*, std::int32_t);

}  // namespace

int main(int argc, char** argv) {
  int i = 1;
  for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2) {
    long* target = std::strcmp(argv[i], "--calls") == 0    ? &g_calls
                   : std::strcmp(argv[i], "--warmup") == 0 ? &g_warmup
                                                           : nullptr;
    if (!target) break;
    *target = std::strtol(argv[i + 1], nullptr, 10);
  }
  if (g_calls < 1 || g_calls > 100000 || g_warmup < 0 || g_warmup > 1000 || i >= argc) {
    std::printf("usage: worker_probe [--calls N] [--warmup K] OP...\n");
    return 2;
  }
  for (; i < argc; ++i) {
    const std::string op = argv[i];
    auto arg = [&](int k) -> const char* {
      if (i + k >= argc) {
        std::printf("op %s needs %d argument(s)\n", op.c_str(), k);
        std::exit(2);
      }
      return argv[i + k];
    };
    if (op == "preload") {
      if (!LoadLibraryA(arg(1))) Fail("LoadLibrary");
      i += 1;
    } else if (op == "thread") {
      Row("thread", [] { StartAndJoin(Empty, nullptr); });
    } else if (op == "thread-ref") {
      const char* dll = arg(1);
      HMODULE keep = LoadLibraryA(dll);  // so that a row never unloads it
      if (!keep) Fail("LoadLibrary");
      Row("thread-ref", [dll] {
        g_refDll = LoadLibraryA(dll);
        if (!g_refDll) Fail("LoadLibrary");
        StartAndJoin(EndWithRef, nullptr);
      });
      FreeLibrary(keep);
      i += 1;
    } else if (op == "handoff") {
      Parked parked(Nothing, nullptr);
      Row("handoff", [&parked] { parked.Run(); });
    } else if (op == "load") {
      HMODULE dll = LoadLibraryA(arg(1));
      if (!dll) Fail("LoadLibrary");
      auto load = reinterpret_cast<LoadFn>(
          reinterpret_cast<void*>(GetProcAddress(dll, "LoadParameters")));
      if (!load) Fail("GetProcAddress LoadParameters");
      const char* account = arg(2);
      const std::int32_t type = static_cast<std::int32_t>(std::strtol(arg(3), nullptr, 10));
      Row("load", [&] { load(account, type); });
      FreeLibrary(dll);
      i += 3;
    } else if (op == "post" || op == "post-thread" || op == "post-handoff") {
      Post post{arg(1), {}, {}};
      const std::string pins = arg(3);
      if (!FromHex(arg(2), post.body) || (pins != "-" && !pb::ParsePins(pins.c_str(), post.pins))) {
        std::printf("bad body or pins for %s\n", op.c_str());
        return 2;
      }
      if (op == "post") {
        Row("post", [&post] { PostOnce(&post); });
      } else if (op == "post-thread") {
        Row("post-thread", [&post] { StartAndJoin(PostThread, &post); });
      } else {
        Parked parked(PostOnce, &post);
        Row("post-handoff", [&parked] { parked.Run(); });
      }
      if (post.replySize == 0) {
        std::printf("%s got no reply\n", op.c_str());
        return 3;
      }
      i += 3;
    } else {
      std::printf("unknown op %s\n", op.c_str());
      return 2;
    }
  }
  return 0;
}
