#pragma once

// The processor's count read here, without any of the tool's code, and a
// check that a value the tool gave is that count, cut to n bits, at some
// moment between two such readings.

#include <gtest/gtest.h>

#include <cstdint>

#if defined(__i386__) || defined(__x86_64__)
#include <x86intrin.h>
#elif !defined(__aarch64__)
#include <chrono>
#endif

namespace ticklow::testing {

inline std::uint64_t ReferenceCount() {
#if defined(__i386__) || defined(__x86_64__)
  return __rdtsc();
#elif defined(__aarch64__)
  std::uint64_t count = 0;
  __asm__ volatile("isb\n\tmrs %0, cntvct_el0" : "=r"(count));
  return count;
#else
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                        std::chrono::steady_clock::now().time_since_epoch())
                                        .count());
#endif
}

// Whether value is c modulo 2^n for some count c from before to after. Where
// the two readings lie 2^n or more apart, every value below 2^n passes, so a
// caller learns more only from the n above that gap.
inline ::testing::AssertionResult IsBracketed(std::uint64_t value, unsigned n, std::uint64_t before,
                                              std::uint64_t after) {
  std::uint64_t const mask = n >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << n) - 1;
  if (value <= mask && ((value - before) & mask) <= after - before) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << value << " is not the count modulo 2^" << n
                                       << " between the readings " << before << " and " << after;
}

}  // namespace ticklow::testing
