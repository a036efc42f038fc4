#include "params/fetch.h"

#include <atomic>
#include <charconv>
#include <string>
#include <utility>

#include "params/form.h"
#include "params/last_error.h"
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

// Ends the exchange with `code`: for a server's status the reply's errorD is
// kept first (the next exchange empties the store at its start, and a caller
// that got 0 and asks why must hear its own exchange's reason), then the
// code. The exchange only (on the fetch's worker thread).
void SetOutcome(std::int32_t code) {
  if (code > kLastModuleCode) PublishErrorDescription(GetParameterText("errorD"));
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

std::int32_t Fetch(const char* account, std::int32_t accountType) {
  // Each exchange is judged on its own reply: nothing an earlier reply left
  // (its status, its description, its values) answers for this one.
  {
    WriteBatch start;  // readers see the emptied store with "test" at once
    ClearParameters();
    SetParameter("test", "2");
  }

  const ProductPins& pins = Pins();
  if (!pins.valid) {
    SetOutcome(kCodeNoConnection);
    return 0;
  }
  FieldMap fields;
  fields["account"] = account ? account : "";
  fields["accountType"] = FormatAccountType(accountType);
  std::string reply = PostForm(kEndpoint, EncodeForm(fields).c_str(), pins.pins);
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
  SetOutcome(StatusToCode(status));
  return 0;
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
  try {
    return Fetch(account, accountType);
  } catch (...) {
    // Only std::bad_alloc is ever thrown inside the module; running out of
    // memory anywhere in the exchange counts as a failed connection.
    SetOutcome(kCodeNoConnection);
    return 0;
  }
}

std::int32_t NoExchange() {
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
