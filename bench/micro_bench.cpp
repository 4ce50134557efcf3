// In-process costs: the counter line and the decimal conversion against the
// standard library's std::to_chars and snprintf on the same values, and
// argument reading on typical command lines.

#include <benchmark/benchmark.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "cmdline/cmdline.hpp"
#include "counter/counter.hpp"

namespace {

// One digit, ten digits (a 32-bit count), twenty digits (the widest).
constexpr std::array<std::uint64_t, 3> VALUES{7, 4'294'967'295,
                                              std::numeric_limits<std::uint64_t>::max()};

std::uint64_t ValueOf(benchmark::State const& state) {
  return VALUES.at(static_cast<std::size_t>(state.range(0)));
}

void BM_BuildCounterLine(benchmark::State& state) {
  ticklow::LineBuffer buffer{};
  for (auto _ : state) {
    benchmark::DoNotOptimize(ticklow::BuildCounterLine(64, buffer));
  }
}
BENCHMARK(BM_BuildCounterLine);

// One conversion of each value into a buffer, by the given means.
template <class Format>
void BM_Format(benchmark::State& state, Format format) {
  std::uint64_t const value = ValueOf(state);
  std::array<char, 24> buffer{};
  for (auto _ : state) {
    std::uint64_t input = value;
    benchmark::DoNotOptimize(input);
    benchmark::DoNotOptimize(format(input, buffer));
  }
}

auto FormatDecimalInto(std::uint64_t value, std::array<char, 24>& buffer) {
  ticklow::CounterValue const halves{static_cast<std::uint32_t>(value),
                                     static_cast<std::uint32_t>(value >> 32)};
  return ticklow::FormatDecimal(halves, buffer.data() + ticklow::MAX_DIGITS);
}

auto ToCharsInto(std::uint64_t value, std::array<char, 24>& buffer) {
  return std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
}

auto SnprintfInto(std::uint64_t value, std::array<char, 24>& buffer) {
  return std::snprintf(buffer.data(), buffer.size(), "%llu\r\n",
                       static_cast<unsigned long long>(value));
}

BENCHMARK_CAPTURE(BM_Format, FormatDecimal, FormatDecimalInto)->DenseRange(0, 2);
BENCHMARK_CAPTURE(BM_Format, ToChars, ToCharsInto)->DenseRange(0, 2);
BENCHMARK_CAPTURE(BM_Format, Snprintf, SnprintfInto)->DenseRange(0, 2);

constexpr std::array<char const*, 2> LINES{"ticklow 31",
                                           R"("C:\Program Files\ticklow\ticklow.exe" 64)"};

void BM_ReadArgument(benchmark::State& state) {
  char const* const line = LINES.at(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    char const* input = line;
    benchmark::DoNotOptimize(input);
    benchmark::DoNotOptimize(ticklow::ParseBitCount(ticklow::SkipProgramName(input)));
  }
}
BENCHMARK(BM_ReadArgument)->DenseRange(0, 1);

}  // namespace

BENCHMARK_MAIN();
