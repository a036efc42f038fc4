#include "params/store.h"

#include <map>
#include <string_view>

#include "params/parse_double.h"

namespace pb {
namespace {

// std::string's operator< compares with char_traits<char>::compare, which is
// memcmp: unsigned bytes, a proper prefix first.
// std::less<> lets the fixed-name getters look up a name without building
// a string.
using Store = std::map<std::string, std::string, std::less<>>;

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
  auto it = store.find(std::string_view(name));
  if (it == store.end()) return -1.0;
  return ParseDouble(it->second, -1.0);
}

void ResetStoreForTesting() {
  TheStore().clear();
  g_loaded = false;
}

void ForEachParameterForTesting(void (*visit)(const std::string&, const std::string&)) {
  for (const auto& [name, value] : TheStore()) visit(name, value);
}

}  // namespace pb
