// The executables in bad surroundings and under bad input: output that cannot
// be written, command lines no ordinary launch produces, very long and
// non-ASCII arguments, and many runs in a row.

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iomanip>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#if defined(_WIN32)
#include <cpuid.h>
#endif

#include "e2e/targets.hpp"
#include "expected_output.hpp"

namespace ticklow::testing {
namespace {

class FaultRun : public EndToEnd {};

// However the write fails: exit status 0, nothing on standard error, and no
// death by signal, whichever output was chosen.
TEST_P(FaultRun, AnUnwritableOutputEndsTheRunWithZero) {
  struct Surrounding {
    char const* name;
    Output output;
  };
  for (Surrounding const& surrounding :
       {Surrounding{"closed", Output::Closed}, Surrounding{"unwritable", Output::Unwritable},
        Surrounding{"reader gone", Output::ReaderGone}}) {
    for (std::vector<std::string> const& arguments :
         {std::vector<std::string>{"31"}, std::vector<std::string>{},
          std::vector<std::string>{"x"}}) {
      SCOPED_TRACE(std::string{surrounding.name} + " " + ::testing::PrintToString(arguments));
      RunOptions options;
      options.output = surrounding.output;
      RunResult const result = RunTool(arguments, options);
      EXPECT_EQ(result.exitCode, 0);
      EXPECT_EQ(result.termSignal, 0);
      EXPECT_EQ(result.err, "");
    }
  }
}

TEST_P(FaultRun, VeryLongNumbersAreReadToTheirEnd) {
  RunResult const padded = RunTool({std::string(1'000, '0') + "64"});
  EXPECT_TRUE(IsCounterLine(padded.out, 64));
  // Far past any 32-bit value, yet it fits a Windows command line.
  std::string hugeNumber(30'000, '0');
  hugeNumber.front() = '1';
  RunResult const huge = RunTool({hugeNumber});
  EXPECT_EQ(huge.out, EXPECTED_BAD_ARGUMENT);
  EXPECT_EQ(padded.exitCode + huge.exitCode, 2);
  EXPECT_EQ(padded.err + huge.err, "");
}

// The AArch64 virtual count never goes back; an x86 time-stamp counter keeps
// its pace across runs only where the processor says it is constant.
bool CounterIsInvariant() {
#if defined(__aarch64__)
  return true;
#elif defined(_WIN32)
  // CPUID's advanced power management leaf: bit 8 of EDX, an invariant TSC.
  unsigned int eax = 0;
  unsigned int ebx = 0;
  unsigned int ecx = 0;
  unsigned int edx = 0;
  return __get_cpuid(0x8000'0007U, &eax, &ebx, &ecx, &edx) != 0 && (edx & 0x100U) != 0;
#endif
  std::ifstream cpuinfo{"/proc/cpuinfo"};
  std::string line;
  while (std::getline(cpuinfo, line)) {
    if (line.starts_with("flags") && (line + " ").find(" constant_tsc ") != std::string::npos) {
      return true;
    }
  }
  return false;
}

std::string LineInHex(std::string_view line) {
  std::ostringstream hex;
  for (char const c : line) {
    hex << std::hex << std::setw(2) << std::setfill('0')
        << static_cast<unsigned>(static_cast<unsigned char>(c));
  }
  return hex.str();
}

// ticklow.exe started with this exact line and standard-output handle, this
// many times in a row: by our launcher under Wine, or by the emulator itself.
RunResult Launch(Target const& target, std::string_view line, char const* output = "inherit",
                 int runs = 1) {
#if defined(_WIN32)
  if (target.runner == Runner::Native) {
    return RunCommandLine(target.executable, std::string{line}, output, runs);
  }
#endif
  std::vector<std::string> argv = target.launcher;
  if (target.runner == Runner::Wine) {
    argv.insert(argv.end(), {target.windowsLauncher, target.executable, output,
                             std::to_string(runs), LineInHex(line)});
  } else {
    argv.insert(argv.end(), {"--stdout", output, "--runs", std::to_string(runs), "--line",
                             LineInHex(line), target.executable});
  }
  return RunProcess(argv);
}

// The output of this many runs in a row with n = 64.
std::string RunsInARow(Target const& target, int runs) {
  if (target.runner != Runner::Native) {
    RunResult const result = Launch(target, "ticklow 64", "inherit", runs);
    EXPECT_EQ(result.exitCode, 1);
    return result.out;
  }
  std::string out;
  for (int run = 0; run < runs; ++run) {
    out += RunTarget(target, {"64"}).out;
  }
  return out;
}

// These runs exist to catch a value that goes back now and then: a bit
// dropped, or the high half taken from the wrong bits. Such a value goes back
// where a carry reaches the faulty bit, so runs that span 2^33 ticks pass a
// point where one reaches bit 32, and every bit below (a bit above needs far
// longer spans; the bracketed count of every n catches that one). Under Wine,
// where a start takes tens of milliseconds, runs go in batches of 100 until
// they span that much, about 3 s at 3 GHz, or reach the target's count.
constexpr std::uint64_t SPAN_TO_COVER = std::uint64_t{1} << 33;
constexpr int WINE_BATCH = 100;

// The values of runs in a row, with the failures of any run that gave no
// counter line.
std::vector<std::uint64_t> ValuesInARow(Target const& target) {
  bool const inBatches = target.runner == Runner::Wine;
  int const batch = inBatches ? WINE_BATCH : target.runsInARow;
  std::vector<std::uint64_t> values;
  while (std::ssize(values) < target.runsInARow) {
    std::istringstream lines{RunsInARow(target, batch)};
    int seen = 0;
    for (std::string line; std::getline(lines, line); ++seen) {
      std::uint64_t value = 0;
      EXPECT_TRUE(IsCounterLine(line + "\n", 64, &value)) << "run " << values.size();
      values.push_back(value);
    }
    EXPECT_EQ(seen, batch);
    if (::testing::Test::HasFailure() || !inBatches ||
        values.back() - values.front() >= SPAN_TO_COVER) {
      break;
    }
  }
  return values;
}

// 2,000 runs where a run is cheap, 200 under qemu-user, where each run starts
// a whole emulator, and under Wine as many as the span above takes.
TEST_P(FaultRun, RunsInARowGiveIncreasingValues) {
  if (GetParam().counter == Counter::Processor && !CounterIsInvariant()) {
    GTEST_SKIP() << "the processor does not report constant_tsc, so values may go back";
  }
  std::vector<std::uint64_t> const values = ValuesInARow(GetParam());
  ASSERT_FALSE(HasFailure());
  for (std::size_t run = 1; run < values.size(); ++run) {
    ASSERT_LT(values[run - 1], values[run]) << "run " << run << " of " << values.size();
  }
  RecordProperty("runs", static_cast<int>(values.size()));
}

INSTANTIATE_TEST_SUITE_P(Executables, FaultRun, ::testing::ValuesIn(Targets()), TargetName);

struct RawLine {
  std::string_view line;
  std::string_view expected;  // empty: a counter line
  unsigned bits;
};

// Every program-name case of the quoting rule, and bytes that are neither
// blanks nor digits, exactly as the process receives them.
constexpr RawLine RAW_LINES[] = {
    {R"("C:\Program Files\ticklow\ticklow.exe" 31)", "", 31},
    {R"("ticklow"31)", EXPECTED_USAGE, 0},
    {"ticklow\t31", EXPECTED_USAGE, 0},
    {" 31", "", 31},
    {" \t 12", "", 12},
    {"ticklow \t \t12", "", 12},
    {R"(""ticklow 7)", "", 7},
    {R"(tick""low 12)", "", 12},
    {R"("tick""low" 5)", "", 5},
    {R"("ticklow"" 5)", EXPECTED_USAGE, 0},
    {R"(tick"low 5)", EXPECTED_USAGE, 0},
    {R"(ticklow")", EXPECTED_USAGE, 0},
    {R"(ticklow ")", EXPECTED_BAD_ARGUMENT, 0},
    {R"(ticklow 31")", EXPECTED_BAD_ARGUMENT, 0},
    {R"(ticklow "31")", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow 31\r", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow 31,", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow \xB3", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow 3\xB1", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow 6\x80", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow \xA0\x33\x31", EXPECTED_BAD_ARGUMENT, 0},
    {"ticklow \xFF\xFF", EXPECTED_BAD_ARGUMENT, 0},
};

class LaunchedRun : public EndToEnd {};

TEST_P(LaunchedRun, ExactCommandLinesAreReadByTheToolsOwnRule) {
  for (RawLine const& raw : RAW_LINES) {
    SCOPED_TRACE(::testing::PrintToString(std::string{raw.line}));
    RunResult const result = Launch(GetParam(), raw.line);
    ExpectWritten(result, raw.expected, raw.bits);
  }
}

TEST_P(LaunchedRun, AStandardOutputHandleThatNamesNothingEndsTheRunWithZero) {
  for (char const* output : {"null", "invalid"}) {
    RunResult const result = Launch(GetParam(), "ticklow 31", output);
    EXPECT_EQ(result.exitCode, 0) << output;
    EXPECT_EQ(result.out + result.err, "") << output;
  }
}

// A build without a Windows executable has no cases here.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LaunchedRun);
INSTANTIATE_TEST_SUITE_P(Executables, LaunchedRun, ::testing::ValuesIn(WindowsTargets()),
                         TargetName);

#if !defined(_WIN32)
// The POSIX layer lays the line out in Windows' 32,768 bytes, its NUL
// included: the longest line that fits is read as given, one byte more gives
// the bad-argument output.
TEST(HostFaultRun, TheCommandLineLimitFallsExactlyAtTheWindowsOne) {
  std::string const name = TICKLOW_HOST_EXE;
  ASSERT_EQ(name.find_first_of(" \t\""), std::string::npos) << "the sums below assume a plain name";
  std::size_t const longestArgument = 32'767 - name.size() - 1;
  RunResult const fits = RunHost({std::string(longestArgument - 2, '0') + "64"});
  EXPECT_TRUE(IsCounterLine(fits.out, 64));
  RunResult const over = RunHost({std::string(longestArgument - 1, '0') + "64"});
  EXPECT_EQ(over.out, EXPECTED_BAD_ARGUMENT);
  EXPECT_EQ(fits.exitCode + over.exitCode, 2);
}

TEST(HostFaultRun, BytesAbove127AreNeverDigitsOrBlanks) {
  // The last is a full-width 3 in UTF-8: three bytes, none of them a digit.
  for (std::string_view const argument :
       {"\xB3", "3\xB1", "6\x80", "\xA0\x33\x31", "\xFF\xFF", "\xEF\xBC\x93"}) {
    RunResult const result = RunHost({std::string{argument}});
    EXPECT_EQ(result.out, EXPECTED_BAD_ARGUMENT) << ::testing::PrintToString(argument);
    EXPECT_EQ(result.exitCode, 1);
  }
}

// The emulator reads the relocation directory at the preferred base too, as a
// loader that checks the image would: a copy of each executable whose first
// block ends off the 32-bit boundary every block must end on is refused there.
TEST(EmulatedLoad, AMisreadableRelocationBlockIsRefusedAtThePreferredBase) {
  if (std::string_view{TICKLOW_EMULATOR}.empty()) {
    GTEST_SKIP() << "no CPU emulator in this tree";
  }
  fs::path const directory = MakeTempDirectory("relocations");
  for (WindowsBuild const& build : std::initializer_list<WindowsBuild>{TICKLOW_WINDOWS_BUILDS}) {
    SCOPED_TRACE(std::string{build.preset});
    std::string image(static_cast<std::size_t>(fs::file_size(build.executable)), '\0');
    std::ifstream{build.executable, std::ios::binary}.read(
        image.data(), static_cast<std::streamsize>(image.size()));
    auto const word = [&image](std::size_t at) {
      std::uint32_t value = 0;
      image.copy(reinterpret_cast<char*>(&value), 4, at);
      return value;
    };
    std::uint32_t const headers = word(0x3C);
    bool const wide = (word(headers + 24) & 0xFFFFU) == 0x20B;
    std::uint32_t const table = word(headers + 24 + (wide ? 112 : 96) + 5 * 8);
    ASSERT_NE(table, 0U) << "no relocation directory";
    std::uint32_t const sections = headers + 24 + (word(headers + 20) & 0xFFFFU);
    std::size_t blockSize = 0;
    for (std::uint32_t at = sections; at < sections + 40 * (word(headers + 4) >> 16U); at += 40) {
      if (word(at + 12) <= table && table < word(at + 12) + word(at + 8)) {
        blockSize = word(at + 20) + table - word(at + 12) + 4;
      }
    }
    ASSERT_NE(blockSize, 0U) << "the relocation directory lies in no section";
    image[blockSize] = static_cast<char>(image[blockSize] + 2);
    fs::path const copy = directory / (std::string{build.preset} + ".exe");
    std::ofstream{copy, std::ios::binary} << image;
    RunResult const result = RunProcess({TICKLOW_EMULATOR, copy.string(), "31"});
    EXPECT_EQ(result.exitCode, 101);
    EXPECT_NE(result.err.find("relocation table is malformed"), std::string::npos) << result.err;
  }
}
#endif

}  // namespace
}  // namespace ticklow::testing
