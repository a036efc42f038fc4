#include "params/fetch.h"

#include <charconv>
#include <map>
#include <string>

#include "params/form.h"
#include "params/reply_codec.h"
#include "params/store.h"
#include "params/transport.h"

#ifndef PRODUCT_SERVER_BASE_URL
#error "PRODUCT_SERVER_BASE_URL must be set by the build"
#endif

namespace pb {
namespace {

constexpr std::int32_t kCodeNone = 0;
constexpr std::int32_t kCodeSuccess = 1;
constexpr std::int32_t kCodeNoStatus = 2;
constexpr std::int32_t kCodeNoConnection = 3;
constexpr std::int32_t kLastModuleCode = 100;

const std::map<std::int32_t, std::string> kErrorTexts = {
    {kCodeNoStatus, "Internal dll error"},
    {kCodeNoConnection, "Could not connect to server."},
};

std::int32_t g_lastErrorCode = kCodeNone;

constexpr char kEndpoint[] = PRODUCT_SERVER_BASE_URL "run/";

std::string FormatAccountType(std::int32_t accountType) {
  char digits[32];
  const auto r = std::to_chars(digits, digits + sizeof digits, accountType);
  return std::string(digits, r.ptr);
}

std::int32_t Fetch(const char* account, std::int32_t accountType) {
  SetParameter("test", "2");

  FieldMap fields;
  fields["account"] = account ? account : "";
  fields["accountType"] = FormatAccountType(accountType);
  const std::string reply = PostForm(kEndpoint, EncodeForm(fields).c_str());
  if (reply.empty()) {
    g_lastErrorCode = kCodeNoConnection;
    return 0;
  }

  DecodeReply(reply);
  const double status = GetParameter("error", -1.0);
  if (status == -1.0) {
    g_lastErrorCode = kCodeNoStatus;
    return 0;
  }
  if (status == 100.0) {
    g_lastErrorCode = kCodeSuccess;
    SetLoaded();
    return 1;
  }
  g_lastErrorCode = StatusToCode(status);
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

std::int32_t LoadParameters(const char* account, std::int32_t accountType) {
  if (IsLoaded()) return 1;
  try {
    return Fetch(account, accountType);
  } catch (...) {
    // Only std::bad_alloc is ever thrown inside the module; running out of
    // memory anywhere in the exchange counts as a failed connection.
    g_lastErrorCode = kCodeNoConnection;
    return 0;
  }
}

std::int32_t LastErrorCode() { return g_lastErrorCode; }

std::string LastErrorDescription() {
  if (g_lastErrorCode > kLastModuleCode) return GetParameterText("errorD");
  auto it = kErrorTexts.find(g_lastErrorCode);
  if (it == kErrorTexts.end()) it = kErrorTexts.find(kCodeNoStatus);
  return it->second;
}

void ResetFetchForTesting() { g_lastErrorCode = kCodeNone; }

}  // namespace pb
