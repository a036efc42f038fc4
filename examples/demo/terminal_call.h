// A call made the way a terminal calls a DLL import that it takes to be
// stdcall: push the argument words right to left, call, then put ESP back
// from a register saved before the pushes. Neither side pops anything on
// its own account: a cdecl callee leaves its arguments where they are and
// the saved ESP drops them; a stdcall callee removes them itself and the
// saved ESP changes nothing. A function pointer typed __cdecl would instead
// have the compiler pop the arguments after the call, which no terminal
// does.
//
// Only results in EAX come back (int, unsigned, a handle or an address);
// the toolkit's exports, the only cdecl exports MQL4 programs import, all
// return so.
#pragma once

#include <cstdint>
#include <type_traits>

extern "C" std::int32_t pb_terminal_call(const void* function, const std::uint32_t* words,
                                         std::int32_t count);

template <typename F>
class TerminalImport;

// A cdecl import called through pb_terminal_call. Every argument must fill
// exactly one 32-bit slot, as every argument of the toolkit's exports does.
template <typename R, typename... A>
class TerminalImport<R(__cdecl*)(A...)> {
 public:
  using Pointer = R(__cdecl*)(A...);
  TerminalImport& operator=(Pointer p) {
    fn_ = p;
    return *this;
  }
  explicit operator bool() const { return fn_ != nullptr; }
  R operator()(A... a) const {
    static_assert(((sizeof(A) == 4) && ...), "every argument takes one 32-bit slot");
    static_assert(std::is_integral_v<R> && sizeof(R) == 4, "results come back in EAX only");
    const std::uint32_t words[sizeof...(A) + 1] = {Word(a)..., 0};
    return static_cast<R>(pb_terminal_call(reinterpret_cast<const void*>(fn_), words,
                                           static_cast<std::int32_t>(sizeof...(A))));
  }

 private:
  template <typename T>
  static std::uint32_t Word(T v) {
    if constexpr (std::is_pointer_v<T>)
      return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(v));
    else
      return static_cast<std::uint32_t>(v);
  }
  Pointer fn_ = nullptr;
};
