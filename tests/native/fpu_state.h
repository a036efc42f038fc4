// The floating-point states a caller's thread may be in when it calls the
// module: other DLLs in a terminal set the x87 unit to 64-bit precision, and
// a rounding mode may have been left in either unit. FpuStateScope puts the
// thread into one of them and restores what it found.
#pragma once

#include <cstdint>

namespace pbtest {

struct FpuControl {
  std::uint16_t x87 = 0;    // x87 control word
  std::uint32_t mxcsr = 0;  // SSE control and status
  bool operator==(const FpuControl& o) const { return x87 == o.x87 && mxcsr == o.mxcsr; }
};

// Rounding as both units encode it.
enum Rounding : std::uint16_t { kNearest = 0, kDown = 1, kUp = 2, kTowardZero = 3 };
// x87 precision control.
enum Precision : std::uint16_t { k53Bits = 2, k64Bits = 3 };

struct FpuState {
  const char* name;
  Precision x87Precision;
  Rounding rounding;  // set in both units
};

inline constexpr FpuState kFpuStates[] = {
    {"x87 53-bit, to nearest", k53Bits, kNearest},
    {"x87 64-bit, to nearest", k64Bits, kNearest},
    {"x87 64-bit, toward zero in both units", k64Bits, kTowardZero},
    {"x87 53-bit, toward zero in both units", k53Bits, kTowardZero},
    {"x87 64-bit, downward in both units", k64Bits, kDown},
    {"x87 64-bit, upward in both units", k64Bits, kUp},
};

inline FpuControl ReadFpu() {
  FpuControl c;
  __asm__ volatile("fnstcw %0" : "=m"(c.x87));
  __asm__ volatile("stmxcsr %0" : "=m"(c.mxcsr));
  c.mxcsr &= 0xFFC0u;  // control bits only, not the sticky exception flags
  return c;
}

inline void WriteFpu(const FpuControl& c) {
  std::uint32_t mxcsr = 0;
  __asm__ volatile("stmxcsr %0" : "=m"(mxcsr));
  mxcsr = (mxcsr & 0x3Fu) | c.mxcsr;
  __asm__ volatile("fldcw %0" : : "m"(c.x87));
  __asm__ volatile("ldmxcsr %0" : : "m"(mxcsr));
}

inline FpuControl WithState(FpuControl c, const FpuState& s) {
  c.x87 = static_cast<std::uint16_t>((c.x87 & ~0x0F00u) | (s.x87Precision << 8) | (s.rounding << 10));
  c.mxcsr = (c.mxcsr & ~0x6000u) | (std::uint32_t{s.rounding} << 13);
  return c;
}

class FpuStateScope {
 public:
  explicit FpuStateScope(const FpuState& s) : saved_(ReadFpu()), set_(WithState(saved_, s)) {
    WriteFpu(set_);
  }
  ~FpuStateScope() { WriteFpu(saved_); }
  FpuStateScope(const FpuStateScope&) = delete;
  FpuStateScope& operator=(const FpuStateScope&) = delete;
  const FpuControl& set() const { return set_; }

 private:
  FpuControl saved_;
  FpuControl set_;
};

}  // namespace pbtest
