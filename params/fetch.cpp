#include "params/fetch.h"

#include <atomic>
#include <charconv>
#include <string>
#include <string_view>
#include <utility>

#include "params/form.h"
#include "params/last_error.h"
#include "params/parse_double.h"
#include "params/pins.h"
#include "params/reply_codec.h"
#include "params/store.h"
#include "params/transport.h"
#include "product_server.h"

#ifndef PRODUCT_SERVER_BASE_URL
#error "PRODUCT_SERVER_BASE_URL must be set by the build"
#endif
#ifndef PRODUCT_SERVER_PINS
#error "PRODUCT_SERVER_PINS must be set by the build (empty text for none)"
#endif

namespace pb {
namespace {

constexpr std::int32_t kCodeNone = 0;
constexpr std::int32_t kCodeSuccess = 1;
constexpr std::int32_t kCodeNoStatus = 2;
constexpr std::int32_t kCodeNoConnection = 3;
constexpr std::int32_t kLastModuleCode = 100;

// The module's own texts. Plain constants: nothing of the fetch is torn down
// at process exit, where a worker thread ended inside the heap may have left
// its lock held.
const char* ModuleErrorText(std::int32_t code) {
  return code == kCodeNoConnection ? "Could not connect to server." : "Internal dll error";
}

// Read by any thread at any time. Written by the exchange (SetOutcome) and
// by a caller whose exchange cannot start (NoExchange): one atomic store.
std::atomic<std::int32_t> g_lastErrorCode{kCodeNone};

// A status from 201 to 299 is the server's decision on this account
// (unknown, type not allowed, expired, suspended, revoked): a refresh that
// gets one unloads the module. Every other failure keeps what it has.
constexpr std::int32_t kFirstDecision = 201;
constexpr std::int32_t kLastDecision = 299;

// Ends the exchange with `code`: for a server's status the reply's errorD
// (`description`) is kept first (the next exchange empties the store at its
// start, and a caller that got 0 and asks why must hear its own exchange's
// reason), then the code: the last thing an exchange writes. The exchange
// only (on the fetch's worker thread).
void SetOutcome(std::int32_t code, std::string_view description = {}) {
  if (code > kLastModuleCode) PublishErrorDescription(description);
  g_lastErrorCode = code;
}

constexpr char kEndpoint[] = PRODUCT_SERVER_BASE_URL "run/";

struct ProductPins {
  PinSet pins;
  bool valid = false;
};

// Decoded once, at the first fetch. The build checked the text's form
// (cmake/product-server.cmake); should it still not decode, every fetch
// fails rather than run unpinned. Never freed: a static with a destructor
// would be torn down at process exit, where a thread ended inside the heap
// may have left its lock held.
const ProductPins& Pins() {
  static const ProductPins& decoded = *[] {
    auto* p = new ProductPins;
    p->valid = ParsePins(PRODUCT_SERVER_PINS, p->pins);
    return p;
  }();
  return decoded;
}

std::string FormatAccountType(std::int32_t accountType) {
  char digits[32];
  const auto r = std::to_chars(digits, digits + sizeof digits, accountType);
  return std::string(digits, r.ptr);
}

// The reply text of one POST of the account's fields; empty when the
// exchange failed (or the build's pins do not decode).
std::string Post(const char* account, std::int32_t accountType) {
  const ProductPins& pins = Pins();
  if (!pins.valid) return {};
  FieldMap fields;
  fields["account"] = account ? account : "";
  fields["accountType"] = FormatAccountType(accountType);
  return PostForm(kEndpoint, EncodeForm(fields).c_str(), pins.pins);
}

std::int32_t Fetch(const char* account, std::int32_t accountType) {
  // Each exchange is judged on its own reply: nothing an earlier reply left
  // (its status, its description, its values) answers for this one.
  {
    WriteBatch start;  // readers see the emptied store with "test" at once
    ClearParameters();
    SetParameter("test", "2");
  }

  std::string reply = Post(account, accountType);
  if (reply.empty()) {
    SetOutcome(kCodeNoConnection);
    return 0;
  }

  DecodeReply(std::move(reply));
  const double status = GetParameter("error", -1.0);
  if (status == -1.0) {
    SetOutcome(kCodeNoStatus);
    return 0;
  }
  if (status == 100.0) {
    SetOutcome(kCodeSuccess);
    SetLoaded();
    return 1;
  }
  SetOutcome(StatusToCode(status), GetParameterText("errorD"));
  return 0;
}

// A loaded module's exchange. The reply is decoded apart from the store,
// which readers go on reading, and replaces it only on success (the new
// values, loaded) or on the server's decision (that reply's pairs, not
// loaded): one snapshot either way. Any other outcome leaves the store and
// the loaded flag as they were. The store then holds what a load's exchange
// of the same reply leaves: "test" = "2" and the reply's pairs.
std::int32_t Refresh(const char* account, std::int32_t accountType) {
  std::string reply = Post(account, accountType);
  if (reply.empty()) {
    SetOutcome(kCodeNoConnection);
    return 0;
  }
  ParameterMap entries{{"test", "2"}};
  DecodeReplyInto(std::move(reply), entries);
  const auto error = entries.find("error");
  const double status = error == entries.end() ? -1.0 : ParseDouble(error->second, -1.0);
  if (status == -1.0) {
    SetOutcome(kCodeNoStatus);
    return 0;
  }
  if (status == 100.0) {
    PublishParameters(std::move(entries), true);
    SetOutcome(kCodeSuccess);
    return 1;
  }
  const std::int32_t code = StatusToCode(status);
  const auto errorD = entries.find("errorD");
  const std::string description = errorD == entries.end() ? std::string() : errorD->second;
  if (code >= kFirstDecision && code <= kLastDecision) PublishParameters(std::move(entries), false);
  SetOutcome(code, description);
  return 0;
}

// Runs `exchange` on the calling thread; an exception out of it (only
// std::bad_alloc is ever thrown inside the module) counts as a failed
// connection, with the store as the exchange left it.
template <typename Exchange>
std::int32_t Guarded(Exchange exchange, const char* account, std::int32_t accountType) {
  try {
    return exchange(account, accountType);
  } catch (...) {
    SetOutcome(kCodeNoConnection);
    return 0;
  }
}

}  // namespace

const char* ParameterEndpoint() { return kEndpoint; }

std::int32_t StatusToCode(double status) {
  // Compare before converting: a double outside the range makes the
  // conversion undefined, and x86's answer for it is the value below.
  if (!(status > -2147483649.0 && status < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(status);
}

std::int32_t RunExchange(const char* account, std::int32_t accountType) {
  // Checked again here: an exchange that starts after another's success
  // returns 1 without a request.
  if (IsLoaded()) return 1;
  return Guarded(Fetch, account, accountType);
}

std::int32_t RunRefreshExchange(const char* account, std::int32_t accountType) {
  return Guarded(IsLoaded() ? Refresh : Fetch, account, accountType);
}

std::int32_t NoExchange() {
  g_lastErrorCode = kCodeNoConnection;
  return 0;
}

std::int32_t ExchangeOverdue() {
  g_lastErrorCode = kCodeNoConnection;
  return 0;
}

std::int32_t LastErrorCode() { return g_lastErrorCode; }

std::string LastErrorDescription() {
  const std::int32_t code = g_lastErrorCode.load();
  if (code > kLastModuleCode) return PublishedErrorDescription();
  return ModuleErrorText(code);
}

void ResetFetchForTesting() {
  g_lastErrorCode = kCodeNone;
  PublishErrorDescription({});
}

}  // namespace pb
