// The parameter fetch and its error state.
//
// Threads: every exchange runs on a worker thread of its own (params/
// worker.h), never on a caller's, and exchanges run one at a time,
// process-wide. LoadParameters starts one, or waits for the one in flight
// and then returns 1 at once if it succeeded, or starts its own if it
// failed. RefreshParameters starts one, or waits for the one in flight (a
// load's or a refresh's) and takes its result; it waits at most
// kRefreshWait in all. A caller ended while it waits (TerminateThread)
// holds nothing: the exchange goes on and its result serves the next
// caller. LastErrorCode and LastErrorDescription never wait for an exchange.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace pb {

// The product server's endpoint: the build-time base URL with "run/" appended.
const char* ParameterEndpoint();

// The whole fetch, as callers see it. Returns 1 when the parameters are
// loaded (now or earlier), 0 on failure with the reason in LastErrorCode().
// Blocks for as long as the exchange it waits for takes. Never throws.
// (params/flight.cpp)
std::int32_t LoadParameters(const char* account, std::int32_t accountType) noexcept;

// The longest a RefreshParameters call waits for its exchange: it returns
// within 30 seconds, the last one left to the platform (thread switches
// under load).
constexpr std::chrono::milliseconds kRefreshWait{29000};

// Asks the server again, loaded or not. Loaded, the reply's status decides:
// 100 replaces the values (one snapshot; result 1, code 1); 201 to 299 (the
// server's refusal of the account) unloads the module, the store holding
// that reply's pairs; anything else keeps the values, the store and the
// loaded flag, with the code LoadParameters would give for that reply. Not
// loaded, the exchange is a load's. When the exchange has not ended within
// kRefreshWait, returns 0 with code 3; the exchange goes on on its worker
// and its outcome is applied when it ends. Never throws. (params/flight.cpp)
std::int32_t RefreshParameters(const char* account, std::int32_t accountType) noexcept;

// For tests only: the wait of RefreshParameters (kRefreshWait unless set).
void SetRefreshWaitForTesting(std::chrono::milliseconds wait);

// One exchange on the calling thread: 1 at once when already loaded, else
// the request, the store update, the loaded flag and the error code. Only
// the fetch's worker runs it, one at a time (the store has one writer).
// Never throws.
std::int32_t RunExchange(const char* account, std::int32_t accountType);

// A refresh's exchange on the calling thread: always a request; a load's
// exchange (RunExchange's) while not loaded. Only the fetch's worker runs
// it, one exchange at a time. Never throws.
std::int32_t RunRefreshExchange(const char* account, std::int32_t accountType);

// Records a fetch that could not run at all (no worker thread could be
// started) as a failed connection; returns 0.
std::int32_t NoExchange();

// Records a refresh whose exchange has not ended in time as a failed
// connection; returns 0. The exchange's own code replaces it when it ends
// (an exchange that ends in the instant between the caller's give-up and
// this store keeps its outcome, and the code reads 3 until the next one).
std::int32_t ExchangeOverdue();

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
