// The parameter fetch and its error state.
//
// Threads: LoadParameters calls run one at a time, process-wide (a later
// caller waits for the exchange in progress, then returns 1 at once if it
// succeeded). LastErrorCode and LastErrorDescription never wait for an
// exchange; the description reads the store under its own short lock.
#pragma once

#include <cstdint>
#include <string>

namespace pb {

// The product server's endpoint: the build-time base URL with "run/" appended.
const char* ParameterEndpoint();

// The whole fetch. Returns 1 when the parameters are loaded (now or earlier),
// 0 on failure with the reason in LastErrorCode(). Never throws.
std::int32_t LoadParameters(const char* account, std::int32_t accountType);

std::int32_t LastErrorCode();

// The text that describes LastErrorCode(): the module's own for codes up to
// 100, the server's "errorD" entry for codes above.
std::string LastErrorDescription();

// Converts a status value to the error code: truncation toward zero, and
// INT32_MIN for anything outside the 32-bit range (NaN included).
std::int32_t StatusToCode(double status);

// For tests only: back to the state at load (no fetch run yet).
void ResetFetchForTesting();

}  // namespace pb
