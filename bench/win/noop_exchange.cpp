// A stand-in DLL for the worker's bench: the module's LoadParameters
// (params/flight.cpp) and its worker threads (module/worker_win32.cpp)
// around an exchange that fails at once, so that every call starts an
// exchange and what is timed is the worker alone.
#include <cstdint>

#include "params/fetch.h"

namespace pb {

std::int32_t RunExchange(const char*, std::int32_t) { return 0; }

std::int32_t NoExchange() { return 0; }

std::int32_t RunRefreshExchange(const char*, std::int32_t) { return 0; }

std::int32_t ExchangeOverdue() { return 0; }

std::int32_t LastErrorCode() { return 3; }

}  // namespace pb

// Exported undecorated (--kill-at), as the product's DLL exports it.
extern "C" __declspec(dllexport) std::int32_t __stdcall LoadParameters(const char* account,
                                                                      std::int32_t accountType) {
  return pb::LoadParameters(account, accountType);
}
