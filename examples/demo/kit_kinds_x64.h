// What an x86-64 callee reads of each argument and result of a function
// pointer type, in mql5_imports.h's words (i32, i64, f64, ref, void), so
// that the 64-bit demo host's import types can be static_assert-checked
// against that table's rows.
#pragma once

#include <array>
#include <cstddef>
#include <type_traits>

namespace kitkinds {

template <typename T>
constexpr const char* KindOf() {
  if constexpr (std::is_void_v<T>) {
    return "void";
  } else if constexpr (std::is_pointer_v<T>) {
    return "ref";
  } else if constexpr (std::is_same_v<T, double>) {
    return "f64";
  } else {
    static_assert(std::is_integral_v<T> && (sizeof(T) == 4 || sizeof(T) == 8),
                  "an argument or result is a 4- or 8-byte integer, a double or a pointer");
    return sizeof(T) == 8 ? "i64" : "i32";
  }
}

// The kinds of A..., separated by single spaces ("" for none).
template <typename... A>
constexpr std::array<char, 4 * sizeof...(A) + 1> Kinds() {
  std::array<char, 4 * sizeof...(A) + 1> out{};
  const char* kinds[] = {KindOf<A>()..., nullptr};
  std::size_t n = 0;
  for (std::size_t i = 0; kinds[i] != nullptr; i++) {
    if (i > 0) out[n++] = ' ';
    for (const char* k = kinds[i]; *k != '\0'; k++) out[n++] = *k;
  }
  return out;
}

constexpr bool Same(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) {
    a++;
    b++;
  }
  return *a == *b;
}

template <typename F>
struct Sig;
template <typename R, typename... A>
struct Sig<R (*)(A...)> {
  static constexpr std::array<char, 4 * sizeof...(A) + 1> args = Kinds<A...>();
  static constexpr const char* result = KindOf<R>();
};

}  // namespace kitkinds
