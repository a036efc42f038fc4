#include "params/store.h"

#include <atomic>
#include <map>
#include <mutex>

#include "params/parse_double.h"

namespace pb {
namespace {

// std::string's operator< compares with char_traits<char>::compare, which is
// memcmp: unsigned bytes, a proper prefix first.
using Store = std::map<std::string, std::string, std::less<>>;

struct GuardedStore {
  std::mutex lock;
  Store map;
};

GuardedStore& TheStore() {
  static GuardedStore store;
  return store;
}

constexpr const char* kFixedNames[] = {"func101", "func102", "func103"};

}  // namespace

namespace detail {
double g_fixedValues[3] = {-1.0, -1.0, -1.0};
std::atomic<bool> g_loaded{false};
}  // namespace detail

using detail::g_fixedValues;
using detail::g_loaded;

void SetParameter(std::string_view name, std::string_view value) {
  GuardedStore& s = TheStore();
  std::lock_guard<std::mutex> hold(s.lock);
  auto it = s.map.find(name);
  if (it != s.map.end()) {
    it->second.assign(value);  // reuses the value's storage where it can
  } else {
    s.map.emplace(name, value);
  }
}

void ClearParameters() {
  GuardedStore& s = TheStore();
  std::lock_guard<std::mutex> hold(s.lock);
  s.map.clear();
}

std::string GetParameterText(const std::string& name) {
  GuardedStore& s = TheStore();
  std::lock_guard<std::mutex> hold(s.lock);
  auto it = s.map.find(name);
  return it == s.map.end() ? std::string() : it->second;
}

double GetParameter(const std::string& name, double defaultValue) {
  std::string value;
  {
    GuardedStore& s = TheStore();
    std::lock_guard<std::mutex> hold(s.lock);
    auto it = s.map.find(name);
    if (it == s.map.end()) return defaultValue;
    value = it->second;
  }
  return ParseDouble(value, defaultValue);
}

bool IsLoaded() { return g_loaded.load(std::memory_order_acquire); }

void SetLoaded() {
  if (IsLoaded()) return;
  for (int i = 0; i < 3; ++i) g_fixedValues[i] = GetParameter(kFixedNames[i], -1.0);
  g_loaded.store(true, std::memory_order_release);
}

void ResetStoreForTesting() {
  GuardedStore& s = TheStore();
  std::lock_guard<std::mutex> hold(s.lock);
  s.map.clear();
  g_loaded.store(false, std::memory_order_relaxed);
  for (double& v : g_fixedValues) v = -1.0;
}

void ForEachParameterForTesting(void (*visit)(const std::string&, const std::string&)) {
  GuardedStore& s = TheStore();
  std::lock_guard<std::mutex> hold(s.lock);
  for (const auto& [name, value] : s.map) visit(name, value);
}

}  // namespace pb
