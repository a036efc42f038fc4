#include "params/store.h"

#include <map>

#include "params/parse_double.h"

namespace pb {
namespace {

// std::string's operator< compares with char_traits<char>::compare, which is
// memcmp: unsigned bytes, a proper prefix first.
using Store = std::map<std::string, std::string>;

Store& TheStore() {
  static Store store;
  return store;
}

bool g_loaded = false;

}  // namespace

void SetParameter(const std::string& name, const std::string& value) {
  TheStore()[name] = value;
}

std::string GetParameterText(const std::string& name) {
  const Store& store = TheStore();
  auto it = store.find(name);
  return it == store.end() ? std::string() : it->second;
}

double GetParameter(const std::string& name, double defaultValue) {
  const Store& store = TheStore();
  auto it = store.find(name);
  if (it == store.end()) return defaultValue;
  return ParseDouble(it->second, defaultValue);
}

bool IsLoaded() { return g_loaded; }
void SetLoaded() { g_loaded = true; }

double FixedGetter(const char* name) {
  if (!g_loaded) return -1.0;
  const Store& store = TheStore();
  // Heterogeneous lookup is not available on std::map<std::string,...> with
  // std::less<std::string>; a short name fits the small-string buffer, so this
  // copy does not allocate.
  auto it = store.find(std::string(name));
  if (it == store.end()) return -1.0;
  return ParseDouble(it->second, -1.0);
}

void ResetStoreForTesting() {
  TheStore().clear();
  g_loaded = false;
}

}  // namespace pb
