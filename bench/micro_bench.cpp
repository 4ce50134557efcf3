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

void BM_FormatDecimal(benchmark::State& state) {
  std::uint64_t const value = ValueOf(state);
  ticklow::LineBuffer buffer{};
  for (auto _ : state) {
    std::uint64_t input = value;
    benchmark::DoNotOptimize(input);
    ticklow::CounterValue const halves{static_cast<std::uint32_t>(input),
                                       static_cast<std::uint32_t>(input >> 32)};
    benchmark::DoNotOptimize(ticklow::FormatDecimal(halves, buffer.data() + ticklow::MAX_DIGITS));
  }
}
BENCHMARK(BM_FormatDecimal)->DenseRange(0, 2);

void BM_ToChars(benchmark::State& state) {
  std::uint64_t const value = ValueOf(state);
  std::array<char, 24> buffer{};
  for (auto _ : state) {
    std::uint64_t input = value;
    benchmark::DoNotOptimize(input);
    benchmark::DoNotOptimize(std::to_chars(buffer.data(), buffer.data() + buffer.size(), input));
  }
}
BENCHMARK(BM_ToChars)->DenseRange(0, 2);

void BM_Snprintf(benchmark::State& state) {
  std::uint64_t const value = ValueOf(state);
  std::array<char, 24> buffer{};
  for (auto _ : state) {
    std::uint64_t input = value;
    benchmark::DoNotOptimize(input);
    benchmark::DoNotOptimize(std::snprintf(buffer.data(), buffer.size(), "%llu\r\n",
                                           static_cast<unsigned long long>(input)));
  }
}
BENCHMARK(BM_Snprintf)->DenseRange(0, 2);

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
