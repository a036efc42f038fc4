// Exports of the parameter service. Each one is a thin shell over params/:
// it fixes the calling convention and makes sure no exception leaves it
// (i686 DWARF-2 unwinding cannot cross the caller's frames).
#include <cstdint>
#include <cstring>
#include <string>

#include "params/fetch.h"
#include "params/store.h"

extern "C" {

// cdecl. The string is the caller's copy, so only code built with this
// toolchain's std::string layout can call it.
double GetParameter(std::string name, double defaultValue) {
  try {
    return pb::GetParameter(name, defaultValue);
  } catch (...) {
    return defaultValue;
  }
}

// The fixed-name getters take words that they never read; on i686 their
// number is part of the ABI: 8, 16 and 16 bytes removed by the callee. On
// x86-64 (no stdcall) they are registers nobody reads and the caller owns
// the stack. Each is a read of a value cached when the parameters were
// loaded: no lock, no wait, no allocation, so any thread may call them
// during another thread's fetch.
double __stdcall func101(std::int32_t, std::int32_t) {
  return pb::FixedGetter(pb::FixedName::kFunc101);
}

double __stdcall func102(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
  return pb::FixedGetter(pb::FixedName::kFunc102);
}

double __stdcall func103(std::int32_t, std::int32_t, std::int32_t, std::int32_t) {
  return pb::FixedGetter(pb::FixedName::kFunc103);
}

std::int32_t __stdcall LoadParameters(const char* account, std::int32_t accountType) {
  return pb::LoadParameters(account, accountType);  // never throws
}

// Asks the server again, loaded or not, and returns within 30 seconds
// (params/fetch.h has the outcomes).
std::int32_t __stdcall RefreshParameters(const char* account, std::int32_t accountType) {
  return pb::RefreshParameters(account, accountType);  // never throws
}

std::int32_t __stdcall GetLastErrorCode() { return pb::LastErrorCode(); }

// The caller's buffer has no stated size; MQL4 callers reserve 256 bytes, so
// at most 255 bytes of text and the NUL are written. A null buffer gets
// nothing.
void __stdcall GetLastErrorDescription(char* buffer) {
  if (!buffer) return;
  constexpr std::size_t kMaxText = 255;
  try {
    const std::string text = pb::LastErrorDescription();
    const std::size_t n = text.size() < kMaxText ? text.size() : kMaxText;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  } catch (...) {
    buffer[0] = '\0';
  }
}

}  // extern "C"
