// The counter line: the mask for every n, the decimal conversion at its
// boundaries and on random values against std::to_chars, and the line layout.
// On the 32-bit x86 build this runs the divl path.

#include <gtest/gtest.h>

#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "counter/counter.hpp"
#include "expected_output.hpp"
#include "reference/counter_reference.hpp"

namespace ticklow {
namespace {

constexpr CounterValue Split(std::uint64_t value) {
  return {static_cast<std::uint32_t>(value), static_cast<std::uint32_t>(value >> 32)};
}

constexpr std::uint64_t Join(CounterValue value) {
  return (std::uint64_t{value.high} << 32) | value.low;
}

std::string ToCharsOracle(std::uint64_t value) {
  char digits[24];
  auto const result = std::to_chars(digits, digits + sizeof digits, value);
  return {digits, result.ptr};
}

std::string Format(std::uint64_t value) {
  char buffer[MAX_DIGITS];
  ByteRun const run = FormatDecimal(Split(value), buffer + MAX_DIGITS);
  EXPECT_EQ(run.start + run.length, buffer + MAX_DIGITS) << "digits must end right before end";
  return {run.start, run.length};
}

// Checked at compile time, where the plain 64-bit division stands in for divl.
constexpr bool FormatsAs(std::uint64_t value, std::string_view expected) {
  LineBuffer buffer{};
  ByteRun const line = WriteCounterLine(Split(value), buffer);
  return std::string_view{line.start, line.length} == expected;
}
static_assert(FormatsAs(0, "0\r\n"));
static_assert(FormatsAs(9, "9\r\n"));
static_assert(FormatsAs(10, "10\r\n"));
static_assert(FormatsAs(0xFFFF'FFFF, "4294967295\r\n"));
static_assert(FormatsAs(0x1'0000'0000, "4294967296\r\n"));
// The low half runs out of digits before the high half does.
static_assert(FormatsAs(0xA'0000'0005, "42949672965\r\n"));
static_assert(FormatsAs(~std::uint64_t{0}, "18446744073709551615\r\n"));

std::vector<std::uint64_t> BoundaryValues() {
  std::vector<std::uint64_t> values{0,
                                    1,
                                    9,
                                    10,
                                    11,
                                    0xFFFF'FFFF,
                                    0x1'0000'0000,
                                    0x1'0000'0001,
                                    ~std::uint64_t{0},
                                    ~std::uint64_t{0} - 1};
  for (std::uint64_t power = 1;; power *= 10) {
    values.insert(values.end(), {power - 1, power, power + 1});
    if (power > ~std::uint64_t{0} / 10) {
      break;  // 10^19 is the last power of ten below 2^64
    }
  }
  for (unsigned bit = 0; bit < 64; ++bit) {
    std::uint64_t const power = std::uint64_t{1} << bit;
    values.insert(values.end(), {power - 1, power, power + 1});
  }
  // k * 2^32 plus a little, where a step leaves the low half zero while the
  // high half still holds digits: the loop must run on.
  for (std::uint64_t const k : {1U, 9U, 10U, 11U, 100U, 1'000'000U, 0xFFFF'FFFFU}) {
    for (std::uint64_t const little : {0U, 1U, 5U, 9U, 10U}) {
      values.push_back((k << 32) + little);
    }
  }
  return values;
}

TEST(FormatDecimal, MatchesToCharsAtEveryBoundary) {
  for (std::uint64_t const value : BoundaryValues()) {
    EXPECT_EQ(Format(value), ToCharsOracle(value)) << value;
  }
}

TEST(FormatDecimal, MatchesToCharsOnRandomValuesOfEveryMagnitude) {
  std::mt19937_64 generator{20261208};
  for (int i = 0; i < 200'000; ++i) {
    std::uint64_t const value = generator() >> (generator() % 64);
    ASSERT_EQ(Format(value), ToCharsOracle(value)) << value;
  }
}

// The step the divl performs, r * 2^32 + low over 10 for every r below 10,
// checked by multiplying back rather than by dividing again.
TEST(DivideBy10, QuotientTimesTenPlusRemainderGivesTheDividendForEveryCarry) {
  for (std::uint32_t carried = 0; carried < 10; ++carried) {
    for (std::uint32_t const low :
         {0U, 1U, 9U, 10U, 0x7FFF'FFFFU, 0x8000'0000U, 0xFFFF'FFF5U, 0xFFFF'FFF6U, 0xFFFF'FFFFU}) {
      DivisionStep const step = DivideBy10(carried, low);
      EXPECT_LT(step.remainder, 10U) << carried << ":" << low;
      EXPECT_EQ(std::uint64_t{step.quotient} * 10 + step.remainder,
                (std::uint64_t{carried} << 32) | low)
          << carried << ":" << low;
    }
  }
}

TEST(WriteCounterLine, TheLargestValueFillsTheWholeBuffer) {
  LineBuffer buffer{};
  ByteRun const line = WriteCounterLine(Split(~std::uint64_t{0}), buffer);
  EXPECT_EQ(line.start, buffer.data());
  EXPECT_EQ(std::string(line.start, line.length), "18446744073709551615\r\n");
}

TEST(WriteCounterLine, EndsInCrLfInTheLastTwoBytes) {
  for (std::uint64_t const value : BoundaryValues()) {
    LineBuffer buffer{};
    ByteRun const line = WriteCounterLine(Split(value), buffer);
    EXPECT_EQ(line.start + line.length, buffer.data() + buffer.size());
    EXPECT_EQ(std::string(line.start, line.length), ToCharsOracle(value) + "\r\n");
  }
}

// What keeping n low bits means, computed on whole 64-bit numbers.
constexpr std::uint64_t ReferenceLowBits(std::uint64_t value, unsigned n) {
  return n == 64 ? value : value & ((std::uint64_t{1} << n) - 1);
}

constexpr bool MaskHoldsForEveryN(std::uint64_t value) {
  for (unsigned n = 0; n <= 64; ++n) {
    if (Join(KeepLowBits(Split(value), n)) != ReferenceLowBits(value, n)) {
      return false;
    }
  }
  return true;
}
static_assert(MaskHoldsForEveryN(~std::uint64_t{0}));
static_assert(MaskHoldsForEveryN(0xAAAA'AAAA'AAAA'AAAA));
static_assert(MaskHoldsForEveryN(0x5555'5555'5555'5555));

class KeepLowBitsForEveryN : public ::testing::TestWithParam<unsigned> {};

TEST_P(KeepLowBitsForEveryN, MatchesTheReference) {
  unsigned const n = GetParam();
  std::mt19937_64 generator{n};
  std::vector<std::uint64_t> values{~std::uint64_t{0}, 0xAAAA'AAAA'AAAA'AAAA, 0x5555'5555'5555'5555,
                                    0, 0x8000'0000'8000'0000};
  for (int i = 0; i < 100; ++i) {
    values.push_back(generator());
  }
  for (std::uint64_t const value : values) {
    EXPECT_EQ(Join(KeepLowBits(Split(value), n)), ReferenceLowBits(value, n)) << std::hex << value;
  }
}

INSTANTIATE_TEST_SUITE_P(Bits, KeepLowBitsForEveryN, ::testing::Range(0U, 65U));

// The real counter through the real line builder, for every n: a valid line
// whose value is the count modulo 2^n at a moment between two readings of our
// own, which no code of the tool takes part in.
TEST(BuildCounterLine, IsTheCountModuloTwoToTheNBetweenTwoReadings) {
  for (unsigned n = 0; n <= 64; ++n) {
    LineBuffer buffer{};
    std::uint64_t const before = testing::ReferenceCount();
    ByteRun const line = BuildCounterLine(n, buffer);
    std::uint64_t const after = testing::ReferenceCount();
    std::uint64_t value = 0;
    ASSERT_TRUE(testing::IsCounterLine({line.start, line.length}, n, &value)) << "n = " << n;
    EXPECT_TRUE(testing::IsBracketed(value, n, before, after)) << "n = " << n;
  }
}

}  // namespace
}  // namespace ticklow
