#pragma once

// The counter line: the processor's time-stamp counter read once, cut to its
// n low bits and written in decimal in front of CR LF. The value travels as two
// 32-bit halves so that a 32-bit x86 build needs no 64-bit runtime helpers.

#include <array>
#include <cstdint>
#include <type_traits>

#if defined(_MSC_VER)
#include <intrin.h>
#elif defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#elif !defined(__aarch64__)
#include <chrono>
#endif

namespace ticklow {

struct CounterValue {
  std::uint32_t low;
  std::uint32_t high;
};

// A run of bytes to write: where it starts and how long it is.
struct ByteRun {
  char const* start;
  std::uint32_t length;
};

inline constexpr std::uint32_t MAX_DIGITS = 20;  // 2^64 - 1 has 20 digits
using LineBuffer = std::array<char, MAX_DIGITS + 2>;

// The mask for the half that n cuts: the n mod 32 low bits, or all 32 for
// n = 64. Starting from zeros instead of ones for n = 64 makes the shift by
// 64 mod 32 = 0 and the inversion give all ones without a branch: n >> 6 is
// 1 only for 64.
constexpr std::uint32_t LowBitsMask(std::uint32_t n) {
  std::uint32_t const start = (n >> 6) - 1;
  return ~(start << (n & 31));
}

// The value modulo 2^n, n from 0 to 64, with a single decision on n.
constexpr CounterValue KeepLowBits(CounterValue value, std::uint32_t n) {
  std::uint32_t const mask = LowBitsMask(n);
  if (n < 32) {
    return {value.low & mask, 0};
  }
  return {value.low, value.high & mask};
}

struct DivisionStep {
  std::uint32_t quotient;
  std::uint32_t remainder;
};

// (high * 2^32 + low) / 10 for high below 10, so the quotient fits 32 bits:
// exactly what one divl does. Spelled as plain 64-bit arithmetic, a 32-bit x86
// compiler would call a runtime division routine, which the CRT-free build
// does not have.
constexpr DivisionStep DivideBy10(std::uint32_t high, std::uint32_t low) {
#if defined(__i386__) && (defined(__GNUC__) || defined(__clang__))
  if (!std::is_constant_evaluated()) {
    std::uint32_t quotient = 0;
    std::uint32_t remainder = 0;
    __asm__("divl %[divisor]"
            : "=a"(quotient), "=d"(remainder)
            : "a"(low), "d"(high), [divisor] "rm"(std::uint32_t{10}));
    return {quotient, remainder};
  }
#elif defined(_M_IX86)
  if (!std::is_constant_evaluated()) {
    unsigned int remainder = 0;
    unsigned int const quotient = _udiv64((std::uint64_t{high} << 32) | low, 10, &remainder);
    return {quotient, remainder};
  }
#endif
  std::uint64_t const dividend = (std::uint64_t{high} << 32) | low;
  return {static_cast<std::uint32_t>(dividend / 10), static_cast<std::uint32_t>(dividend % 10)};
}

// Writes the digits of value right to left so that the last one sits just
// before end; gives the first digit and the digit count (1 to 20).
constexpr ByteRun FormatDecimal(CounterValue value, char* end) {
  char* position = end;
  do {
    std::uint32_t const carried = value.high % 10;
    value.high /= 10;
    DivisionStep const step = DivideBy10(carried, value.low);
    value.low = step.quotient;
    *--position = static_cast<char>('0' + step.remainder);
  } while ((value.high | value.low) != 0);
  return {position, static_cast<std::uint32_t>(end - position)};
}

// CR LF in the last two bytes, the digits right in front of them: one
// contiguous run, built in place with no reversal and no copy.
constexpr ByteRun WriteCounterLine(CounterValue value, LineBuffer& buffer) {
  char* const cr = buffer.data() + MAX_DIGITS;
  cr[0] = '\r';
  cr[1] = '\n';
  ByteRun const digits = FormatDecimal(value, cr);
  return {digits.start, digits.length + 2};
}

// One read of the processor's own 64-bit count, with nothing serialising it:
// the tool wants a cheap stamp, not a fenced measurement.
inline CounterValue ReadCounter() {
#if defined(_MSC_VER) || defined(__i386__) || defined(__x86_64__)
  std::uint64_t const count = __rdtsc();
#elif defined(__aarch64__)
  std::uint64_t count = 0;
  __asm__ volatile("mrs %0, cntvct_el0" : "=r"(count));
#else
  auto const count =
      static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
#endif
  return {static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(count >> 32)};
}

inline CounterValue ReadMaskedCounter(std::uint32_t n) { return KeepLowBits(ReadCounter(), n); }

inline ByteRun BuildCounterLine(std::uint32_t n, LineBuffer& buffer) {
  return WriteCounterLine(ReadMaskedCounter(n), buffer);
}

}  // namespace ticklow
